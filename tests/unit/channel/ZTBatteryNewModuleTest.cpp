#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "channel/LocalNotificationCenter.h"
#include "channel/ZTBatteryNewModule.h"
#include "fake/FakePlatform.h"
#include "fake/RecordingSMC.h"

namespace ampwarden::test {
namespace {

using Answer = FakeNotificationChannel::Answer;
using Names = std::vector<std::string>;
using Writes = std::vector<RecordingSMC::Write>;

const NotificationDictionary kDisabledCharging = {
    {"smcCtrlStatus", std::string("disableCharging")}};

class CommandModule : public ::testing::Test {
  protected:
    void SetUp() override {
        platform.login.lidClosed = false;
        module = std::make_unique<ZTBatteryNewModule>(smc);
    }

    void post(const std::string& name) { platform.notifications.postDarwinNotification(name); }
    const Answer& lastAnswer() { return platform.notifications.answers.back(); }
    // Opens the connection and starts a forced discharge, then forgets what that did.
    void startDischarging() {
        post("ZTBattery_TellDeamon_OpenSMC");
        post("ZTBattery_TellDeamon_SetEnableDischarging");
        ASSERT_TRUE(module->isDischargingStatus());
        platform.notifications.answers.clear();
        platform.log.clear();
        smc.writes.clear();
    }

    FakePlatform platform;
    RecordingSMC smc{platform.clock};
    std::unique_ptr<ZTBatteryNewModule> module;
};

// Literal names and values: the main app matches them byte for byte.
TEST_F(CommandModule, EveryCommandIsAnsweredWithItsNameKeysAndTypes) {
    const std::pair<const char*, const char*> commands[] = {
        {"ZTBattery_TellDeamon_OpenSMC", "smcOpenClose"},
        {"ZTBattery_TellDeamon_SMCStatus", "smcStatus"},
        {"ZTBatteryApp_CFNotification_Tell_Helper_QuerySMCChargingStatus", nullptr},
        {"ZTBattery_TellDeamon_SetEnableCharging", "smcCtrlStatus"},
        {"ZTBattery_TellDeamon_SetDisableCharging", "smcCtrlStatus"},
        {"ZTBattery_TellDeamon_SetEnableDischarging", "smcCtrlStatus"},
        {"ZTBattery_TellDeamon_SetDisableDischarging", nullptr},
        {"ZTBattery_TellDeamon_SetEnableChargingLimitMax", "smcCtrlStatus"},
        {"ZTBattery_TellDeamon_SetDisableChargingLimitMax", "smcCtrlStatus"},
        {"ZTBattery_TellDeamon_CloseSMC", "smcOpenClose"},
        {"ZTBattery_TellDeamon_SMCStatus", "smcStatus"},
        {"NotACommand", nullptr},
    };
    for (const auto& command : commands) post(command.first);
    auto ctrl = [](const char* v) {
        return NotificationDictionary{{"smcCtrlStatus", std::string(v)}};
    };
    const std::vector<std::pair<std::string, NotificationDictionary>> expected = {
        {"ZTBattery_TellDeamon_OpenSMC_callback", {{"smcOpenClose", std::string("open")}}},
        {"ZTBattery_TellDeamon_SMCStatus_callback", {{"smcStatus", std::int64_t{1}}}},
        {"ZTHelper_CFNotification_Tell_BatteryApp_QuerySMCChargingStatus",
         {{"chargingStatus", std::int32_t{0}}, {"dischargingStatus", std::int32_t{0}}}},
        {"ZTBattery_TellDeamon_SetEnableCharging_callback", ctrl("enableCharging")},
        {"ZTBattery_TellDeamon_SetDisableCharging_callback", ctrl("disableCharging")},
        {"ZTBattery_TellDeamon_SetEnableDischarging_callback", ctrl("discharging")},
        {"ZTBattery_TellDeamon_SetEnableChargingLimitMax_callback", ctrl("EnableLimitMax")},
        {"ZTBattery_TellDeamon_SetDisableChargingLimitMax_callback", ctrl("DisableLimitMax")},
        {"ZTBattery_TellDeamon_CloseSMC_callback", {{"smcOpenClose", std::string("close")}}},
        {"ZTBattery_TellDeamon_SMCStatus_callback", {{"smcStatus", std::int64_t{0}}}},
    };
    const auto& answers = platform.notifications.answers;
    ASSERT_EQ(answers.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(answers[i].name, expected[i].first);
        EXPECT_EQ(answers[i].dictionary, expected[i].second) << expected[i].first;
    }
}

TEST_F(CommandModule, StatusAnswersMapRawValuesAndFailures) {
    post("ZTBattery_TellDeamon_OpenSMC");
    smc.values["BCLM"] = 0;
    smc.values["CH0I"] = 1;
    post("ZTBatteryApp_CFNotification_Tell_Helper_QuerySMCChargingStatus");
    EXPECT_EQ(lastAnswer().dictionary,
              (NotificationDictionary{{"chargingStatus", std::int32_t{1}},
                                      {"dischargingStatus", std::int32_t{1}}}));
    smc.values["CH0I"] = 2;
    smc.unreadable = "BCLM";  // -1
    post("ZTBatteryApp_CFNotification_Tell_Helper_QuerySMCChargingStatus");
    EXPECT_EQ(lastAnswer().dictionary,
              (NotificationDictionary{{"chargingStatus", std::int32_t{0}},
                                      {"dischargingStatus", std::int32_t{0}}}));

    post("ZTBattery_TellDeamon_CloseSMC");
    smc.openResult = 1;
    post("ZTBattery_TellDeamon_OpenSMC");
    EXPECT_EQ(lastAnswer().dictionary,
              (NotificationDictionary{{"smcOpenClose", std::string("close")}}));
}

TEST_F(CommandModule, ChargeCommandsActOnTheirKeys) {
    post("ZTBattery_TellDeamon_OpenSMC");
    post("ZTBattery_TellDeamon_SetEnableChargingLimitMax");
    EXPECT_EQ(smc.values["BCLM"], 80);
    post("ZTBattery_TellDeamon_SetDisableCharging");
    platform.clock.advance(0.5);
    EXPECT_EQ(smc.values["CH0C"], 2);
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    EXPECT_EQ(smc.values["CH0I"], 1);
    post("ZTBattery_TellDeamon_SetDisableDischarging");
    EXPECT_EQ(smc.values["CH0I"], 0);
    EXPECT_FALSE(module->isDischargingStatus());
    post("ZTBattery_TellDeamon_SetDisableChargingLimitMax");
    post("ZTBattery_TellDeamon_SetEnableCharging");
    platform.clock.advance(0.5);
    EXPECT_EQ(smc.values, (std::map<std::string, std::int64_t>{
                              {"BCLM", 100}, {"CH0B", 0}, {"CH0C", 0}, {"CH0I", 0}}));
}

TEST_F(CommandModule, EnableDischargingAsleepOrWithTheLidClosedDoesNotDischarge) {
    startDischarging();
    platform.login.fireWillSleep();
    platform.notifications.answers.clear();
    smc.writes.clear();
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    EXPECT_FALSE(module->isDischargingStatus()) << "asleep: turned into disable-discharging";
    EXPECT_TRUE(platform.notifications.answers.empty());
    EXPECT_EQ(smc.writes, (Writes{{"CH0I", 0, 0}}));

    platform.login.fireDidWake();
    startDischarging();
    platform.login.lidClosed = true;
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    EXPECT_TRUE(module->isClosedDisplay());
    EXPECT_TRUE(module->isDischargingStatus()) << "lid closed: the flag is left alone";
    EXPECT_EQ(platform.notifications.answerNames(),
              Names{"ZTBattery_TellDeamon_SetDisableCharging_callback"});
    EXPECT_EQ(lastAnswer().dictionary, kDisabledCharging);
    EXPECT_EQ(smc.writes, (Writes{{"CH0B", 2, 0}, {"CH0I", 0, 0}}))
        << "an earlier discharge must not go on draining behind a closed lid";
}

TEST_F(CommandModule, SleepDuringADischargeHoldsTheBatteryThenLetsTheMachineSleep) {
    startDischarging();
    platform.login.fireWillSleep();
    EXPECT_TRUE(module->isSleep());
    EXPECT_TRUE(module->isDischargingStatus());
    EXPECT_EQ(lastAnswer().name, "ZTBattery_TellDeamon_SetDisableCharging_callback");
    EXPECT_EQ(smc.writes, (Writes{{"CH0B", 2, 0}, {"CH0I", 0, 0}}));
    EXPECT_EQ(platform.login.sleepWorkDoneCalls, 0) << "the delayed write is still pending";

    platform.clock.advance(0.5);
    EXPECT_EQ(smc.writes.back(), (RecordingSMC::Write{"CH0C", 2, 500}));
    EXPECT_EQ(platform.login.sleepWorkDoneCalls, 1);

    platform.notifications.answers.clear();
    platform.login.fireDidWake();
    platform.clock.advance(5);
    EXPECT_FALSE(module->isSleep());
    EXPECT_TRUE(platform.notifications.answers.empty()) << "the discharge is not resumed";
    EXPECT_EQ(smc.values["CH0I"], 0);
}

TEST_F(CommandModule, SleepOrDisplayChangesWithoutADischargeOnlyUpdateFlags) {
    platform.login.fireWillSleep();
    EXPECT_EQ(platform.login.sleepWorkDoneCalls, 1) << "nothing to wait for";
    platform.login.fireDidWake();
    platform.login.lidClosed = true;
    platform.displayMonitor.fire(kDisplayAddFlag);
    EXPECT_TRUE(module->isClosedDisplay());
    platform.login.lidClosed = false;
    platform.displayMonitor.fire(kDisplayRemoveFlag);
    EXPECT_FALSE(module->isClosedDisplay());
    EXPECT_TRUE(platform.notifications.answers.empty());
    EXPECT_TRUE(smc.writes.empty());
}

TEST_F(CommandModule, DisplayChangeWithBothBitsProbesTheLidTwice) {
    startDischarging();
    platform.login.lidClosed = true;
    platform.displayMonitor.fire(kDisplayAddFlag | kDisplayRemoveFlag | 1);
    EXPECT_EQ(platform.log.systemLines(),
              (Names{"14", "swift: 停止充电", "14", "swift: 停止充电"}));
    EXPECT_EQ(platform.notifications.answerNames(),
              (Names{"ZTBattery_TellDeamon_SetDisableCharging_callback",
                     "ZTBattery_TellDeamon_SetDisableCharging_callback"}));
    EXPECT_EQ(smc.values["CH0I"], 0);
    EXPECT_TRUE(module->isDischargingStatus());

    platform.log.clear();
    platform.displayMonitor.fire(1 | 2 | 64);
    EXPECT_TRUE(platform.log.lines.empty()) << "other bits do not probe";
}

TEST_F(CommandModule, MainAppExitAndUninstallCloseTheConnection) {
    startDischarging();
    LocalNotificationCenter::defaultCenter().postNotificationName("mainAppIsKilled");
    EXPECT_EQ(platform.notifications.answerNames(),
              Names{"ZTBattery_TellDeamon_CloseSMC_callback"});
    EXPECT_EQ(smc.values, (std::map<std::string, std::int64_t>{
                              {"BCLM", 100}, {"CH0B", 0}, {"CH0C", 0}, {"CH0I", 0}}));
    EXPECT_EQ(module->batteryControl()->getcmcStatus(), 0);
    EXPECT_TRUE(module->isDischargingStatus()) << "flags are not touched";

    platform.notifications.answers.clear();
    post("ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper");
    platform.clock.advance(2.4);
    EXPECT_EQ(platform.notifications.answerNames(),
              Names{"ZTBattery_TellDeamon_CloseSMC_callback"});
    platform.clock.advance(0.1);
    ASSERT_EQ(platform.notifications.answers.size(), 2u);
    EXPECT_EQ(lastAnswer().name,
              "ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper_callBack");
    EXPECT_DOUBLE_EQ(lastAnswer().time, 2.5);
}

TEST_F(CommandModule, CallbacksDoNothingOnceTheModuleIsGone) {
    module.reset();
    post("ZTBattery_TellDeamon_OpenSMC");
    platform.displayMonitor.fire(kDisplayAddFlag);
    platform.login.fireWillSleep();
    EXPECT_TRUE(platform.notifications.answers.empty());
    EXPECT_EQ(platform.login.sleepWorkDoneCalls, 1) << "sleep is never held up";
}

}  // namespace
}  // namespace ampwarden::test
