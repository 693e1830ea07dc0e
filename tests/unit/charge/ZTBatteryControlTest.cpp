#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "channel/LocalNotificationCenter.h"
#include "charge/ZTBatteryControl.h"
#include "fake/FakePlatform.h"
#include "fake/RecordingSMC.h"
#include "platform/MachError.h"

namespace ampwarden::test {
namespace {

using Lines = std::vector<std::string>;
using Writes = std::vector<RecordingSMC::Write>;

class BatteryControl : public ::testing::Test {
  protected:
    void TearDown() override { ZTBatteryControl::setSelfClass(nullptr); }

    void openAndForget() {
        ASSERT_TRUE(control->openCMC());
        platform.log.clear();
        smc.writes.clear();
    }

    FakePlatform platform;
    RecordingSMC smc{platform.clock};
    std::shared_ptr<ZTBatteryControl> control = std::make_shared<ZTBatteryControl>(smc);
};

TEST_F(BatteryControl, OpensOnceAndReportsAFailedOpenWithItsErrorText) {
    EXPECT_EQ(platform.log.stdoutLines(), Lines{"初始化电池模块"});
    smc.openResult = 1;
    EXPECT_FALSE(control->openCMC());
    EXPECT_EQ(control->getcmcStatus(), 0);
    EXPECT_EQ(platform.log.stdoutLines().back(), "error open smc connection: " + machErrorText(1));

    smc.openResult = 0;
    EXPECT_TRUE(control->openCMC());
    EXPECT_TRUE(control->openCMC());
    EXPECT_EQ(smc.opens, 2) << "an open connection is not opened again";
    EXPECT_EQ(control->getcmcStatus(), 1);
}

TEST_F(BatteryControl, CloseGivesTheBatteryBackBeforeClosingAndCountsAsClosedEvenOnError) {
    openAndForget();
    smc.values = {{"BCLM", 80}, {"CH0B", 2}, {"CH0C", 2}, {"CH0I", 1}};
    smc.closeResult = kIOReturnNotResponding;
    control->closeCMC();
    EXPECT_EQ(smc.writes,
              (Writes{{"CH0B", 0, 0}, {"BCLM", 100, 0}, {"CH0C", 0, 0}, {"CH0I", 0, 0}}))
        << "every write happens while the connection is still open";
    EXPECT_EQ(smc.values, (std::map<std::string, std::int64_t>{
                              {"BCLM", 100}, {"CH0B", 0}, {"CH0C", 0}, {"CH0I", 0}}));
    EXPECT_EQ(platform.log.stdoutLines(),
              Lines{"error close smc connection: " + machErrorText(kIOReturnNotResponding)});
    EXPECT_EQ(control->getcmcStatus(), 0);

    // Closing again without a connection still tries the reset and a clean close logs nothing.
    smc.closeResult = 0;
    platform.log.clear();
    control->closeCMC();
    EXPECT_EQ(smc.writes.size(), 8u);
    EXPECT_FALSE(smc.writes.back().connected);
    EXPECT_TRUE(platform.log.lines.empty());
}

TEST_F(BatteryControl, StatusReadsGiveTheValueOrFixedFailureCodes) {
    EXPECT_EQ(control->get_charging_status(), -1);
    EXPECT_EQ(control->get_discharging_status(), 9);
    EXPECT_EQ(platform.log.stdoutLines().size(), 1u) << "failed reads add no line here";

    openAndForget();
    smc.values["BCLM"] = 80;
    smc.values["CH0I"] = 1;
    EXPECT_EQ(control->get_charging_status(), 80);
    EXPECT_EQ(control->get_discharging_status(), 1);
    EXPECT_EQ(platform.log.stdoutLines(), (Lines{"swift获取充电状态 80", "swift获取放电状态 1"}));
}

TEST_F(BatteryControl, DisableThenEnableWithinHalfASecondInterleavesByTime) {
    openAndForget();
    control->disableChargingWithName("ZTBattery_TellDeamon_SetDisableCharging");
    platform.clock.advance(0.2);
    control->enableChargingWithName("");
    platform.clock.advance(1);
    EXPECT_EQ(smc.writes, (Writes{{"CH0B", 2, 0},
                                  {"BCLM", 100, 200},
                                  {"CH0C", 2, 500},
                                  {"CH0B", 0, 700},
                                  {"CH0C", 0, 700}}));
    EXPECT_EQ(smc.values["CH0B"], 0);
    EXPECT_EQ(smc.values["CH0C"], 0) << "resuming charging clears both inhibit keys";
    EXPECT_EQ(platform.log.systemLines(), (Lines{"swift: 停止充电", "swift: 开始充电"}));
    EXPECT_TRUE(platform.log.stdoutLines().empty());
}

TEST_F(BatteryControl, EnableThenDisableWithinHalfASecondEndsNotCharging) {
    openAndForget();
    control->enableChargingWithName("x");
    platform.clock.advance(0.2);
    control->disableChargingWithName("x");
    platform.clock.advance(1);
    EXPECT_EQ(smc.writes, (Writes{{"BCLM", 100, 0},
                                  {"CH0B", 2, 200},
                                  {"CH0B", 0, 500},
                                  {"CH0C", 0, 500},
                                  {"CH0C", 2, 700}}));
    EXPECT_EQ(smc.values["CH0B"], 0);
    EXPECT_EQ(smc.values["CH0C"], 2);
}

TEST_F(BatteryControl, DelayedWriteRunsEvenAfterTheConnectionClosed) {
    openAndForget();
    control->disableChargingWithName("");
    control->closeCMC();
    platform.clock.advance(0.5);
    EXPECT_EQ(smc.writes.back(), (RecordingSMC::Write{"CH0C", 2, 500, false}));
}

TEST_F(BatteryControl, DischargeAndLimitWriteTheirKeys) {
    control->enableDischarging();
    control->disableDischarging();
    control->holdDischarging();
    EXPECT_TRUE(smc.writes.empty()) << "no discharge writes without a connection of ours";
    EXPECT_EQ(platform.log.stdoutLines().size(), 1u);

    openAndForget();
    control->enableDischarging();
    EXPECT_EQ(smc.values["CH0I"], 1);
    control->disableDischarging();
    control->enableDischarging();
    control->holdDischarging();
    EXPECT_EQ(smc.values["CH0I"], 0);
    EXPECT_EQ(platform.log.stdoutLines(), (Lines{"开始放电", "停止放电", "开始放电"}));

    control->setChargingLimitMax(80);
    EXPECT_EQ(smc.values["BCLM"], 80);
    control->setChargingLimitMax(100);
    EXPECT_EQ(smc.values["BCLM"], 100);
    EXPECT_EQ(platform.log.lines.size(), 3u) << "the limit logs nothing";
}

// The battery-control object's own command wiring.
TEST_F(BatteryControl, CommandCallbackLogsEveryNameButActsOnlyThroughSelfClass) {
    control->registerDaemonNotification();
    platform.log.clear();
    platform.notifications.postDarwinNotification("ZTBattery_TellDeamon_SetDisableCharging");
    EXPECT_EQ(platform.log.stdoutLines(),
              (Lines{"notifyName: ZTBattery_TellDeamon_SetDisableCharging",
                     "name_callback: ZTBattery_TellDeamon_SetDisableCharging_callback"}));
    EXPECT_TRUE(smc.writes.empty());

    ZTBatteryControl::setSelfClass(control);
    openAndForget();
    for (const char* name : {"ZTBattery_TellDeamon_OpenSMC", "ZTBattery_TellDeamon_SMCStatus"}) {
        platform.notifications.postDarwinNotification(name);
    }
    EXPECT_TRUE(smc.writes.empty());
    EXPECT_EQ(platform.log.lines.size(), 4u);

    platform.notifications.postDarwinNotification("ZTBattery_TellDeamon_SetEnableChargingLimitMax");
    platform.notifications.postDarwinNotification("ZTBattery_TellDeamon_SetEnableDischarging");
    platform.notifications.postDarwinNotification(
        "ZTBattery_TellDeamon_SetDisableChargingLimitMax");
    platform.notifications.postDarwinNotification("ZTBattery_TellDeamon_CloseSMC");
    EXPECT_EQ(smc.writes, (Writes{{"BCLM", 80, 0},
                                  {"CH0I", 1, 0},
                                  {"BCLM", 100, 0},
                                  {"CH0B", 0, 0},
                                  {"BCLM", 100, 0},
                                  {"CH0C", 0, 0},
                                  {"CH0I", 0, 0}}));
    EXPECT_EQ(smc.closes, 1);
    EXPECT_TRUE(platform.notifications.answers.empty()) << "this wiring never answers";
}

TEST_F(BatteryControl, MainAppExitClosesOncePerObservationWhileTheObjectLives) {
    control->addNotificationObserver();
    control->addNotificationObserver();
    LocalNotificationCenter::defaultCenter().postNotificationName("mainAppIsKilled");
    EXPECT_EQ(smc.closes, 2);
    EXPECT_EQ(platform.log.stdoutLines().back(), "主应用程序已被终止，关闭smc");

    control.reset();
    LocalNotificationCenter::defaultCenter().postNotificationName("mainAppIsKilled");
    EXPECT_EQ(smc.closes, 2);
}

}  // namespace
}  // namespace ampwarden::test
