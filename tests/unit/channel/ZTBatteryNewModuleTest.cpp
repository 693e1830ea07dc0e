#include <gtest/gtest.h>

#include "channel/ZTBatteryNewModule.h"
#include "fake/FakePlatform.h"
#include "fake/RecordingSMC.h"

namespace ampwarden::test {
namespace {

using Writes = std::vector<RecordingSMC::Write>;
using Dict = NotificationDictionary;
using Answers = std::vector<std::pair<std::string, Dict>>;

Dict ctrl(const char* value) { return {{"smcCtrlStatus", std::string(value)}}; }
const char* const kDisabledAnswer = "ZTBattery_TellDeamon_SetDisableCharging_callback";

// The status answers, a failed open answering "close" and a closed lid stopping a discharge
// are the end-to-end command and lid tests'.
class CommandModule : public ::testing::Test {
  protected:
    void post(const std::string& name) { platform.notifications.postDarwinNotification(name); }
    Answers answers() {
        Answers out;
        for (const auto& a : platform.notifications.answers) out.emplace_back(a.name, a.dictionary);
        return out;
    }

    FakePlatform platform;
    RecordingSMC smc{platform};
    CommandGate gate{platform.clock, platform.authorities, platform.log};
    ZTBatteryNewModule module{platform, smc, gate, platform.center};
};

TEST_F(CommandModule, SleepDuringADischargeHoldsTheBatteryBeforeLettingTheMachineSleep) {
    platform.login.lidClosed = false;
    post("ZTBattery_TellDeamon_OpenSMC");
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    ASSERT_TRUE(module.isDischargingStatus());
    platform.notifications.answers.clear();
    smc.writes.clear();
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

TEST_F(CommandModule, DischargesOnlyAwakeWithTheLidOpenAndEachDisplayBitProbesTheLid) {
    platform.login.lidClosed = true;
    platform.displayMonitor.fire(kDisplayAddFlag);
    EXPECT_TRUE(module.isClosedDisplay());
    EXPECT_TRUE(answers().empty()) << "closed lid without a discharge";

    platform.login.lidClosed = false;
    post("ZTBattery_TellDeamon_OpenSMC");
    platform.login.fireWillSleep();
    platform.notifications.answers.clear();
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    EXPECT_FALSE(module.isDischargingStatus());
    EXPECT_TRUE(answers().empty());
    EXPECT_EQ(platform.log.stdoutLines().back(), "停止放电");

    platform.login.fireDidWake();
    post("ZTBattery_TellDeamon_SetEnableDischarging");
    EXPECT_EQ(answers().back(),
              (std::pair<std::string, Dict>{"ZTBattery_TellDeamon_SetEnableDischarging_callback",
                                            ctrl("discharging")}));
    EXPECT_EQ(smc.values["CH0I"], 1);
    platform.notifications.answers.clear();
    smc.writes.clear();
    platform.login.lidClosed = true;
    platform.displayMonitor.fire(kDisplayAddFlag | kDisplayRemoveFlag | 1 | 64);
    EXPECT_TRUE(module.isDischargingStatus()) << "the flag is left alone";
    EXPECT_EQ(answers(), (Answers{{kDisabledAnswer, ctrl("disableCharging")},
                                  {kDisabledAnswer, ctrl("disableCharging")}}));
    EXPECT_EQ(smc.values["CH0I"], 0);
}

}  // namespace
}  // namespace ampwarden::test
