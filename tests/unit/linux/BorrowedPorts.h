#pragma once

#include <chrono>
#include <cstdint>

#include "emulator/SmcPortDevice.h"
#include "platform/PortIo.h"

namespace ampwarden::test {

// Lends a test's port device to a service that insists on owning its ports, so the test can
// still count the accesses and switch faults on.
class BorrowedPorts : public PortIo {
  public:
    explicit BorrowedPorts(SmcPortDevice& device) : device_(device) {}
    std::uint8_t in(std::uint16_t port) override { return device_.in(port); }
    void out(std::uint16_t port, std::uint8_t value) override { device_.out(port, value); }
    void pause(std::chrono::microseconds duration) override { device_.pause(duration); }

  private:
    SmcPortDevice& device_;
};

}  // namespace ampwarden::test
