#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fake/FakePlatform.h"
#include "fake/FakeSmcDevice.h"
#include "smc/SMC.h"

namespace ampwarden::test {

// An SMC with an open connection to a recording emulated device: the default laptop, or one
// with only the keys a test gives.
class SMCTest : public ::testing::Test {
  protected:
    SMCTest() { use(laptop); }

    // A device with these keys (key-table text), connected; the record starts empty.
    FakeSmcDevice& useKeys(std::string_view keyTable) {
        others_.push_back(std::make_unique<FakeSmcDevice>(keyTable));
        use(*others_.back());
        return *others_.back();
    }

    std::vector<std::string> lines() const { return platform.log.stdoutLines(); }

    FakePlatform platform;
    FakeSmcDevice laptop;

  private:
    void use(FakeSmcDevice& device) {
        platform.smcService = &device;
        EXPECT_EQ(smc.open(), 0);
        device.calls.clear();
        platform.log.clear();
    }

    std::vector<std::unique_ptr<FakeSmcDevice>> others_;

  protected:
    // Last, so it closes its connection while its device still exists.
    SMC smc{platform.smc(), platform.log};
};

}  // namespace ampwarden::test
