#include <gtest/gtest.h>

#include <algorithm>

#include "charge/ZTBatteryControl.h"
#include "fake/FakePlatform.h"
#include "fake/RecordingSMC.h"
#include "platform/MachError.h"

namespace ampwarden::test {
namespace {

using Writes = std::vector<RecordingSMC::Write>;
using Values = std::map<std::string, std::int64_t>;

class BatteryControl : public ::testing::Test {
  protected:
    FakePlatform platform;
    RecordingSMC smc{platform};
    std::shared_ptr<ZTBatteryControl> control =
        std::make_shared<ZTBatteryControl>(smc, platform.clock, platform.log, platform.center);
};

TEST_F(BatteryControl, OpensOnceAndClosingAlwaysResetsEveryChargeKeyFirst) {
    smc.openResult = 1;
    EXPECT_FALSE(control->openCMC());
    smc.openResult = 0;
    EXPECT_TRUE(control->openCMC());
    EXPECT_TRUE(control->openCMC());
    EXPECT_EQ(smc.opens, 2);

    smc.closeResult = kIOReturnNotResponding;
    control->closeCMC();  // every write made while still connected
    EXPECT_EQ(smc.writes, (Writes{{"CH0B", 0}, {"BCLM", 100}, {"CH0C", 0}, {"CH0I", 0}}));
    EXPECT_EQ(control->getcmcStatus(), 0) << "closed even though closing failed";
}

TEST_F(BatteryControl, ChargingCommandsWithinHalfASecondInterleaveTheirWrites) {
    ASSERT_TRUE(control->openCMC());
    control->disableChargingWithName("");
    platform.clock.advance(0.2);
    control->enableChargingWithName("");
    platform.clock.advance(1);
    EXPECT_EQ(smc.writes, (Writes{{"CH0B", 2, 0},
                                  {"BCLM", 100, 200},
                                  {"CH0C", 2, 500},
                                  {"CH0B", 0, 700},
                                  {"CH0C", 0, 700}}));

    smc.writes.clear();
    control->enableChargingWithName("");
    platform.clock.advance(0.2);
    control->disableChargingWithName("");
    platform.clock.advance(1);
    EXPECT_EQ(smc.writes, (Writes{{"BCLM", 100, 1200},
                                  {"CH0B", 2, 1400},
                                  {"CH0B", 0, 1700},
                                  {"CH0C", 0, 1700},
                                  {"CH0C", 2, 1900}}));
}

// A stalled device during "close" must not leave charging stopped: the reset stops at the
// first timeout, the connection stays open underneath, and the rest lands on a later retry.
TEST_F(BatteryControl, ResetThatTimesOutIsRetriedUntilItLandsAndOnlyThenCloses) {
    ASSERT_TRUE(control->openCMC());
    control->disableChargingWithName("");
    platform.clock.advance(1);
    smc.writes.clear();
    for (const char* key : {"CH0B", "BCLM", "CH0C", "CH0I"}) smc.failing[key] = kIOReturnTimeout;
    control->closeCMC();
    EXPECT_EQ(smc.writes.size(), 1u) << "one deadline, not four";
    EXPECT_EQ(control->getcmcStatus(), 0);
    control->enableChargingWithName("");  // closed for callers: nothing reaches the device
    platform.clock.advance(ZTBatteryControl::kRetryIntervalSeconds * 3);
    EXPECT_EQ(smc.writes.size(), 4u) << "each retry stops at its first timeout";
    EXPECT_EQ(smc.closes, 0);

    smc.failing.clear();
    platform.clock.advance(ZTBatteryControl::kRetryIntervalSeconds);
    EXPECT_EQ(smc.values, (Values{{"BCLM", 100}, {"CH0B", 0}, {"CH0C", 0}, {"CH0I", 0}}));
    EXPECT_EQ(smc.closes, 1);
    platform.clock.advance(60);
    EXPECT_EQ(platform.clock.pending(), 0u) << "no retry timer left behind";
}

TEST_F(BatteryControl, LostDelayedWriteIsRetriedNewerValuesWinAndTheNextOpenTakesOver) {
    ASSERT_TRUE(control->openCMC());
    control->disableChargingWithName("");
    smc.failing["CH0C"] = kIOReturnNotResponding;
    platform.clock.advance(1);
    smc.failing.clear();
    platform.clock.advance(ZTBatteryControl::kRetryIntervalSeconds);
    EXPECT_EQ(smc.values["CH0C"], 2);

    smc.failing["CH0B"] = kIOReturnNotResponding;
    control->disableChargingWithName("");
    control->enableChargingWithName("");  // its delayed CH0B := 0 replaces the waiting 2
    smc.failing["CH0I"] = kIOReturnNotFound;
    control->enableDischarging();  // a missing key is never retried
    smc.failing.erase("CH0B");
    platform.clock.advance(ZTBatteryControl::kRetryIntervalSeconds + 1);
    EXPECT_EQ(smc.values["CH0B"], 0);
    EXPECT_EQ(std::count_if(smc.writes.begin(), smc.writes.end(),
                            [](const auto& w) { return w.key == "CH0I"; }),
              1);

    smc.failing["CH0C"] = kIOReturnTimeout;
    control->closeCMC();
    smc.failing.clear();
    EXPECT_TRUE(control->openCMC());
    EXPECT_EQ(smc.opens, 1) << "the connection was never closed underneath";
    EXPECT_EQ(control->getcmcStatus(), 1);
    EXPECT_FALSE(control->hasPendingWrites());
    EXPECT_EQ(smc.values["CH0C"], 0);
}

}  // namespace
}  // namespace ampwarden::test
