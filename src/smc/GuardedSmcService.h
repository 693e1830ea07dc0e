#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <tuple>

#include "platform/Diagnostics.h"
#include "platform/RunLoop.h"
#include "platform/SmcService.h"
#include "smc/SMCKeyData_t.h"

namespace ampwarden {

// Stands between the helper and its SMC so that neither a flood of queries nor a device that
// has stopped answering can hold the main loop:
// - While more commands have arrived than have been read (as `watchBacklog` tells), a read
//   answers the same question for kFreshSeconds: a flood of queries costs the device one
//   exchange per question that long, and no answer carries a value older than that. A quiet
//   helper asks the device every time, so an answer never lags a change made elsewhere.
// - After a call times out the device counts as stalled for kStallSeconds and is not asked
//   again meanwhile: reads are answered from the last values read (or time out at once when
//   there is none), writes time out at once, so their owner's retry takes them later. The loop
//   so spends at most one deadline per stall, whatever arrives meanwhile.
// A write to a key forgets what was read of its value. Runs on `loop`; `device`, `loop` and
// `log` must outlive it.
class GuardedSmcService : public SmcService {
  public:
    static constexpr double kFreshSeconds = 0.25;
    static constexpr double kStallSeconds = 10;

    GuardedSmcService(SmcService& device, RunLoop& loop, Diagnostics& log);

    kern_return_t getMatchingServices(const std::string& className,
                                      std::vector<io_service_t>& services) override;
    void objectRelease(io_object_t object) override;
    kern_return_t serviceOpen(io_service_t service, std::uint32_t type,
                              io_connect_t& connection) override;
    kern_return_t serviceClose(io_connect_t connection) override;
    kern_return_t callStructMethod(io_connect_t connection, std::uint32_t selector,
                                   const void* input, std::size_t inputSize, void* output,
                                   std::size_t& outputSize) override;

    void watchBacklog(std::function<bool()> backlog) { backlog_ = std::move(backlog); }
    bool stalled() const { return stalled_; }

  private:
    // connection, selector, key, command, size asked for, index asked for
    using Question = std::tuple<io_connect_t, std::uint32_t, std::uint32_t, std::uint8_t,
                                std::uint32_t, std::uint32_t>;
    struct Reading {
        SMCKeyData_t record;
        std::size_t size = 0;
        bool fresh = true;
    };

    kern_return_t answer(const Reading& reading, void* output, std::size_t& outputSize) const;
    void remember(const Question& question, const void* output, std::size_t size);
    void forgetKey(io_connect_t connection, std::uint32_t key);
    void stall();

    SmcService& device_;
    RunLoop& loop_;
    Diagnostics& log_;
    std::function<bool()> backlog_;
    std::map<Question, Reading> readings_;
    bool ageing_ = false;  // a timer will mark every reading stale
    bool stalled_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ampwarden
