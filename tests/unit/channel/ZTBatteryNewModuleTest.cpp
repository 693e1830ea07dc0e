#include <gtest/gtest.h>

#include "channel/ZTBatteryNewModule.h"
#include "fake/FakePlatform.h"
#include "fake/RecordingSMC.h"

namespace ampwarden::test {
namespace {

using Names = std::vector<std::string>;
using Writes = std::vector<RecordingSMC::Write>;
using Dict = NotificationDictionary;
using Answers = std::vector<std::pair<std::string, Dict>>;

Dict ctrl(const char* value) { return {{"smcCtrlStatus", std::string(value)}}; }
const char* const kDisabledAnswer = "ZTBattery_TellDeamon_SetDisableCharging_callback";

// The status answers (exact values only; none readable is 0) and a failed open answering "close"
// are the end-to-end command tests'.
class CommandModule : public ::testing::Test {
  protected:
    void post(const std::string& name) { platform.notifications.postDarwinNotification(name); }
    Answers answers() {
        Answers out;
        for (const auto& a : platform.notifications.answers) out.emplace_back(a.name, a.dictionary);
        return out;
    }
    // Opens the connection and starts a forced discharge, then forgets what that did.
    void startDischarging() {
        platform.login.lidClosed = false;
        post("ZTBattery_TellDeamon_OpenSMC");
        post("ZTBattery_TellDeamon_SetEnableDischarging");
        ASSERT_TRUE(module.isDischargingStatus());
        platform.notifications.answers.clear();
        platform.log.clear();
        smc.writes.clear();
    }

    FakePlatform platform;
    RecordingSMC smc{platform.clock};
    ZTBatteryNewModule module{smc};
};

TEST_F(CommandModule, EnableDischargingDischargesOnlyAwakeWithTheLidOpen) {
    post("ZTBattery_TellDeamon_OpenSMC");
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    EXPECT_EQ(answers().back(),
              (std::pair<std::string, Dict>{"ZTBattery_TellDeamon_SetEnableDischarging_callback",
                                            ctrl("discharging")}));
    EXPECT_EQ(smc.values["CH0I"], 1);

    platform.login.fireWillSleep();
    platform.notifications.answers.clear();
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    EXPECT_FALSE(module.isDischargingStatus());
    EXPECT_TRUE(answers().empty());
    EXPECT_EQ(platform.log.stdoutLines().back(), "停止放电");

    platform.login.fireDidWake();
    startDischarging();
    platform.login.lidClosed = true;
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    EXPECT_TRUE(module.isClosedDisplay());
    EXPECT_TRUE(module.isDischargingStatus()) << "the flag is left alone";
    EXPECT_EQ(answers(), (Answers{{kDisabledAnswer, ctrl("disableCharging")}}));
    EXPECT_EQ(smc.writes, (Writes{{"CH0B", 2}, {"CH0I", 0}}));
}

// Sleep without a discharge (nothing to wait for) and waking (no answer, no discharge) are the
// end-to-end sleep tests'.
TEST_F(CommandModule, SleepDuringADischargeHoldsTheBatteryBeforeLettingTheMachineSleep) {
    startDischarging();
    platform.login.fireWillSleep();
    EXPECT_EQ(answers(), (Answers{{kDisabledAnswer, ctrl("disableCharging")}}));
    EXPECT_EQ(smc.writes, (Writes{{"CH0B", 2}, {"CH0I", 0}}));
    constexpr double delay = ZTBatteryControl::kSecondWriteDelaySeconds;
    platform.clock.advance(delay - 0.01);
    EXPECT_EQ(platform.login.sleepWorkDoneCalls, 0) << "released before the delayed write";
    platform.clock.advance(0.01);
    EXPECT_EQ(smc.writes.back(), (RecordingSMC::Write{"CH0C", 2, std::llround(delay * 1000)}));
    EXPECT_EQ(platform.login.sleepWorkDoneCalls, 1);
}

TEST_F(CommandModule, DisplayChangeProbesTheLidOncePerBit) {
    platform.login.lidClosed = true;
    platform.displayMonitor.fire(kDisplayAddFlag);
    EXPECT_TRUE(module.isClosedDisplay());
    EXPECT_TRUE(answers().empty()) << "closed lid without a discharge";

    startDischarging();
    platform.login.lidClosed = true;
    platform.displayMonitor.fire(kDisplayAddFlag | kDisplayRemoveFlag | 1 | 64);
    EXPECT_EQ(platform.log.systemLines(),
              (Names{"14", "swift: 停止充电", "14", "swift: 停止充电"}));
    EXPECT_EQ(answers().size(), 2u);
    EXPECT_EQ(smc.values["CH0I"], 0);
}

TEST_F(CommandModule, MainAppExitClosesAndUninstallAnswersAgainAfterTwoAndAHalfSeconds) {
    startDischarging();
    LocalNotificationCenter::defaultCenter().postNotificationName("mainAppIsKilled");
    EXPECT_EQ(answers(),
              (Answers{{"ZTBattery_TellDeamon_CloseSMC_callback", {{"smcOpenClose", "close"}}}}));
    EXPECT_EQ(smc.values["CH0I"], 0);
    EXPECT_TRUE(module.isDischargingStatus()) << "flags are not touched";

    post("ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper");
    platform.clock.advance(2.4);
    EXPECT_EQ(answers().size(), 2u);
    platform.clock.advance(0.1);
    const auto& last = platform.notifications.answers.back();
    EXPECT_EQ(last.name, "ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper_callBack");
    EXPECT_DOUBLE_EQ(last.time, 2.5);
}

}  // namespace
}  // namespace ampwarden::test
