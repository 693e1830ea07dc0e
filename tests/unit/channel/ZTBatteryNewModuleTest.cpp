#include <gtest/gtest.h>

#include "channel/ZTBatteryNewModule.h"
#include "fake/FakePlatform.h"
#include "fake/RecordingSMC.h"
#include "protocol/CommandProtocol.h"

namespace ampwarden::test {
namespace {

using Writes = std::vector<RecordingSMC::Write>;

// What each command answers and logs, with the lid and asleep, is the helper log table's
// (app/HelperLogTest); a closed lid refusing a discharge is also the end-to-end lid test's.
class CommandModule : public ::testing::Test {
  protected:
    void post(const std::string& name) { platform.notifications.postDarwinNotification(name); }

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
    ASSERT_EQ(platform.notifications.answers.size(), 1u);
    EXPECT_EQ(platform.notifications.answers[0].dictionary,
              (NotificationDictionary{{"smcCtrlStatus", std::string("disableCharging")},
                                      {"smcWritten", 1}}));
    EXPECT_EQ(smc.writes, (Writes{{"CH0B", 2}, {"CH0I", 0}}));
    constexpr double delay = ZTBatteryControl::kSecondWriteDelaySeconds;
    platform.clock.advance(delay - 0.01);
    EXPECT_EQ(platform.login.sleepWorkDoneCalls, 0) << "released before the delayed write";
    platform.clock.advance(0.01);
    EXPECT_EQ(smc.writes.back(), (RecordingSMC::Write{"CH0C", 2, std::llround(delay * 1000)}));
    EXPECT_EQ(platform.login.sleepWorkDoneCalls, 1);
}

// Each answer keeps its name and value and says whether the keys it writes at once were
// written: a refused key, no connection, a stalled device. A delayed write that fails after
// the answer is told to the journal.
TEST_F(CommandModule, AnswersSayWhichKeysWereNotWritten) {
    auto last = [this] { return platform.notifications.answers.back().dictionary; };
    auto notWritten = [](const char* value, const std::string& keys) {
        return NotificationDictionary{
            {"smcCtrlStatus", std::string(value)}, {"smcWritten", 0}, {"smcNotWritten", keys}};
    };
    post(names::kSetEnableChargingLimitMax);
    EXPECT_EQ(last(), notWritten("EnableLimitMax", "BCLM")) << "no connection";
    post(names::kOpenSMC);
    smc.failing["CH0B"] = kIOReturnNotWritable;
    post(names::kSetDisableCharging);
    EXPECT_EQ(last(), notWritten("disableCharging", "CH0B"));
    platform.clock.advance(1);

    smc.failing = {{"CH0C", kIOReturnNotWritable}};
    post(names::kSetDisableCharging);
    EXPECT_EQ(last().at("smcWritten"), NotificationValue(1));
    platform.clock.advance(0.5);
    EXPECT_NE(platform.log.systemLines().back().find("delayed write of CH0C"), std::string::npos);

    smc.failing = {{"CH0B", kIOReturnTimeout}};
    post(names::kCloseSMC);
    EXPECT_EQ(last(),
              (NotificationDictionary{{"smcOpenClose", std::string("close")},
                                      {"smcWritten", 0},
                                      {"smcNotWritten", std::string("CH0B BCLM CH0C CH0I")}}));
}

// The connection is given back at once; the installation goes only 2.5 s later, so the main
// app sees the close answer first.
TEST_F(CommandModule, UninstallClosesAtOnceAndRemovesTheInstallationLater) {
    post(names::kOpenSMC);
    platform.notifications.answers.clear();
    post(names::kUninstallHelper);
    EXPECT_EQ(platform.notifications.answerNames(),
              std::vector<std::string>{names::kCloseSMCAnswer});
    EXPECT_EQ(smc.values["CH0B"], 0);
    platform.clock.advance(2.49);
    EXPECT_EQ(platform.notifications.answers.size(), 1u);
    platform.clock.advance(0.01);
    ASSERT_EQ(platform.notifications.answers.size(), 2u);
    EXPECT_EQ(platform.notifications.answers[1].name, names::kUninstallHelperAnswer);
    EXPECT_DOUBLE_EQ(platform.notifications.answers[1].time, 2.5);
}

// The module serves every command of the protocol table, in its order, but the two
// daemon-status queries, which the app delegate answers; each with the table's access.
TEST(CommandModuleTable, FollowsTheProtocolTable) {
    std::vector<std::pair<std::string, CommandAccess>> served, table;
    for (const BatteryCommand& command : batteryCommands()) {
        served.emplace_back(command.name, command.access);
    }
    for (const protocol::CommandEntry& command : protocol::kCommands) {
        const std::string name = command.name;
        if (name == names::kQueryDaemonLoadStatus || name == names::kGlobalQueryDaemonLoadStatus)
            continue;
        table.emplace_back(name, static_cast<CommandAccess>(command.access));
    }
    EXPECT_EQ(served, table);
}

}  // namespace
}  // namespace ampwarden::test
