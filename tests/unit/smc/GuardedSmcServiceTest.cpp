#include <gtest/gtest.h>

#include "charge/ZTBatteryControl.h"
#include "fake/FakePlatform.h"
#include "fake/FakeSmcDevice.h"
#include "platform/MachError.h"
#include "smc/GuardedSmcService.h"
#include "smc/SMC.h"

namespace ampwarden::test {
namespace {

// The helper's stack on the emulated laptop: the battery control on an SMC on the guard.
class Guard : public ::testing::Test {
  protected:
    Guard() {
        guard.watchBacklog([this] { return backlog; });
        EXPECT_TRUE(control->openCMC());
        device.calls.clear();
    }
    std::size_t asked() const { return device.calls.size(); }

    FakePlatform platform;
    FakeSmcDevice device;
    GuardedSmcService guard{device, platform.clock, platform.log};
    SMC smc{guard, platform.log};
    std::shared_ptr<ZTBatteryControl> control =
        std::make_shared<ZTBatteryControl>(smc, platform.clock, platform.log, platform.center);
    bool backlog = false;
};

// A quiet helper asks the device every time; under a flood a value serves a quarter second,
// and never after the helper wrote the key.
TEST_F(Guard, ReadsAreSharedOnlyUnderABacklogForAQuarterSecondAndAWriteEndsIt) {
    EXPECT_EQ(control->get_charging_status(), 100);
    EXPECT_EQ(control->get_charging_status(), 100);
    EXPECT_EQ(asked(), 4u) << "two exchanges a read, each time";

    backlog = true;
    EXPECT_EQ(control->get_charging_status(), 100);
    const std::size_t once = asked();
    for (int i = 0; i < 50; ++i) control->get_charging_status();
    EXPECT_EQ(asked(), once);
    platform.clock.advance(GuardedSmcService::kFreshSeconds);
    control->get_charging_status();
    EXPECT_EQ(asked(), once + 2) << "a value a quarter second old is asked again";

    control->setChargingLimitMax(80);
    EXPECT_EQ(control->get_charging_status(), 80) << "a write is never hidden by an old read";
}

// One timeout makes a stall: for its length nothing reaches the device, queries get the last
// values read, and writes go to the retry, which lands them once the device answers again.
TEST_F(Guard, AStalledDeviceCostsOneDeadlineAndTheRetryGivesChargingBackAfterwards) {
    EXPECT_EQ(control->get_discharging_status(), 0);
    device.failCall(0, kIOReturnTimeout);
    control->disableChargingWithName("");
    EXPECT_TRUE(guard.stalled());
    const std::size_t stalled = asked();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(control->get_discharging_status(), 0) << "the last value read";
        EXPECT_EQ(control->get_charging_status(), -1) << "never read: no answer, no wait";
    }
    control->closeCMC();  // the main app went away: charging must come back
    platform.clock.advance(GuardedSmcService::kStallSeconds - 0.1);
    EXPECT_EQ(asked(), stalled) << "the device was left alone for the whole stall";
    EXPECT_EQ(control->takeKeysNotWritten(),
              (std::vector<std::string>{"CH0B", "BCLM", "CH0C", "CH0I"}));

    platform.clock.advance(GuardedSmcService::kStallSeconds);
    EXPECT_FALSE(guard.stalled());
    EXPECT_FALSE(control->hasPendingWrites());
    EXPECT_NE(device.written().find("CH0B=00"), std::string::npos);
    EXPECT_EQ(device.connected.size(), 0u) << "closed once the reset landed";
}

}  // namespace
}  // namespace ampwarden::test
