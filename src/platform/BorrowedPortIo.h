#pragma once

#include <chrono>
#include <cstdint>

#include "platform/PortIo.h"

namespace ampwarden {

// Lends ports owned elsewhere to a user that insists on owning its ports (the port-I/O SMC
// service): tests, benchmarks and fuzzers keep their emulated device, count its accesses and
// switch its faults while the service runs.
class BorrowedPortIo : public PortIo {
  public:
    explicit BorrowedPortIo(PortIo& ports) : ports_(ports) {}
    std::uint8_t in(std::uint16_t port) override { return ports_.in(port); }
    void out(std::uint16_t port, std::uint8_t value) override { ports_.out(port, value); }
    void pause(std::chrono::microseconds duration) override { ports_.pause(duration); }

  private:
    PortIo& ports_;
};

}  // namespace ampwarden
