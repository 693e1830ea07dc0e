#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/RunLoop.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden {

// The main loop on sd-event (CLOCK_MONOTONIC). Timed work is kept in one queue of its own and
// served by a single time source, so work falls due in deadline order and ties run in the
// order they were scheduled, whatever sd-event does with equal deadlines. SIGTERM and SIGINT
// end the loop with code 0. Runs once: after run() has returned the loop is finished.
class SdEventRunLoop : public RunLoop {
  public:
    SdEventRunLoop();
    ~SdEventRunLoop() override;
    SdEventRunLoop(const SdEventRunLoop&) = delete;
    SdEventRunLoop& operator=(const SdEventRunLoop&) = delete;

    void after(double seconds, std::function<void()> fn) override;
    std::unique_ptr<Timer> repeating(double interval, std::function<void()> fn) override;
    int run() override;
    void quit(int exitCode) override;

    // For the backends that attach their own sources (bus, device monitor). Null when
    // sd-event could not be set up.
    sd_event* event() const { return event_.get(); }

  private:
    struct TimerState;
    class RepeatingTimer;
    using Key = std::pair<std::uint64_t, std::uint64_t>;  // deadline (µs), sequence

    static std::uint64_t nowUsec();
    static std::uint64_t toUsec(double seconds);
    static int onTime(sd_event_source* source, std::uint64_t usec, void* userdata);
    static int onSignal(sd_event_source* source, const struct signalfd_siginfo* info,
                        void* userdata);

    void schedule(std::uint64_t deadline, std::function<void()> fn);
    void arm(const std::shared_ptr<TimerState>& state, std::uint64_t deadline);
    void runDue();
    void rearm();
    void setupFailed(const char* what, int r);

    sd::EventPtr event_;
    sd::EventSourcePtr timeSource_;
    sd::EventSourcePtr termSource_;
    sd::EventSourcePtr intSource_;
    std::map<Key, std::function<void()>> queue_;
    std::uint64_t sequence_ = 0;
    std::string setupError_;  // the first source that could not be set up
};

}  // namespace ampwarden
