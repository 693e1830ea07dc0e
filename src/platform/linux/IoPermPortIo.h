#pragma once

#include <memory>
#include <string>

#include "platform/PortIo.h"

namespace ampwarden {

// The machine's real I/O ports, opened for one region with ioperm(2) (which takes
// CAP_SYS_RAWIO and is refused under kernel lockdown). Only ever made after the caller has
// made sure the region belongs to the device it means to talk to.
class IoPermPortIo : public PortIo {
  public:
    // The ports from `first` on, `count` of them; none, with `error` saying why, when the
    // kernel refuses them or the machine has no I/O ports.
    static std::unique_ptr<IoPermPortIo> open(std::uint16_t first, std::uint16_t count,
                                              std::string& error);
    ~IoPermPortIo() override;
    IoPermPortIo(const IoPermPortIo&) = delete;
    IoPermPortIo& operator=(const IoPermPortIo&) = delete;

    std::uint8_t in(std::uint16_t port) override;
    void out(std::uint16_t port, std::uint8_t value) override;
    void pause(std::chrono::microseconds duration) override;

  private:
    IoPermPortIo(std::uint16_t first, std::uint16_t count) : first_(first), count_(count) {}

    [[maybe_unused]] std::uint16_t first_;  // unused where the processor has no ports
    [[maybe_unused]] std::uint16_t count_;
};

}  // namespace ampwarden
