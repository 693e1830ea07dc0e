#pragma once

#include <chrono>
#include <cstdint>

namespace ampwarden {

// Byte-wide I/O ports, and the short pause a device protocol waits with between polls. Tests
// and benchmarks put an emulated device behind it; the pause then costs virtual time only.
class PortIo {
  public:
    virtual ~PortIo() = default;
    virtual std::uint8_t in(std::uint16_t port) = 0;
    virtual void out(std::uint16_t port, std::uint8_t value) = 0;
    virtual void pause(std::chrono::microseconds duration) = 0;
};

}  // namespace ampwarden
