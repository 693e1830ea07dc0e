#include <gtest/gtest.h>

#include "channel/ZTBatteryNewModule.h"
#include "fake/FakePlatform.h"
#include "fake/RecordingSMC.h"

namespace ampwarden::test {
namespace {

using Names = std::vector<std::string>;

const char* const kStatus = "ZTBattery_TellDeamon_SMCStatus";
const char* const kOpen = "ZTBattery_TellDeamon_OpenSMC";
const char* const kChargeOff = "ZTBattery_TellDeamon_SetDisableCharging";
const char* const kChargeOn = "ZTBattery_TellDeamon_SetEnableCharging";
const char* const kUninstall = "ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper";
const char* const kAlice = ":1.5";
const char* const kMallory = ":1.6";
const char* const kRoot = FakeNotificationChannel::kRootSender;

std::string answer(const char* command) { return std::string(command) + "_callback"; }

// The real command module behind the gate; users are scripted in the fake authority.
class Gate : public ::testing::Test {
  protected:
    void post(const char* name, const std::string& sender) {
        platform.notifications.postDarwinNotification(name, sender);
    }
    Names answers() const { return platform.notifications.answerNames(); }
    const Names& journal() const { return platform.log.systemLines(); }

    FakePlatform platform;
    FakeCommandAuthority& authority = platform.authorities;
    RecordingSMC smc{platform};
    CommandGate gate{platform.clock, platform.authorities, platform.log};
    ZTBatteryNewModule module{platform, smc, gate, platform.center};
};

// Read-only queries as a client sees them are the end-to-end authorization tests'.
TEST_F(Gate, ARefusalDoesNothingButOneLineOnlyUninstallMayPromptAndRootIsNeverAsked) {
    authority.user(kAlice, 1000, false);
    post(kOpen, kRoot);
    smc.writes.clear();
    post(kChargeOff, kAlice);
    post(kUninstall, kAlice);
    platform.clock.advance(3);
    EXPECT_EQ(answers(), Names{answer(kOpen)});
    EXPECT_TRUE(smc.writes.empty());
    ASSERT_EQ(journal().size(), 2u);
    EXPECT_EQ(journal()[0],
              "Ampwarden: refused ZTBattery_TellDeamon_SetDisableCharging from :1.5 "
              "(uid 1000, pid 5000): not authorised by polkit");
    ASSERT_EQ(authority.checks.size(), 2u);
    EXPECT_FALSE(authority.checks[0].interactive);
    EXPECT_EQ(authority.checks[1].action, CommandAction::Uninstall);
    EXPECT_TRUE(authority.checks[1].interactive) << "the user may be asked for a password";
}

TEST_F(Gate, ASlowCheckDelaysWhatCameAfterItWithoutReorderingIt) {
    authority.user(kAlice, 1000, true, 2.0);
    post(kChargeOff, kAlice);
    post(kStatus, kRoot);
    post(kChargeOn, kRoot);
    platform.clock.advance(1.9);
    EXPECT_TRUE(answers().empty());
    EXPECT_TRUE(smc.writes.empty());
    platform.clock.advance(0.1);
    EXPECT_EQ(answers(), (Names{answer(kChargeOff), answer(kStatus), answer(kChargeOn)}));
}

TEST_F(Gate, ADecisionIsReusedBrieflyForTheSameSenderOnly) {
    authority.user(kMallory, 1001, false);
    authority.user(kAlice, 1000, true);
    post(kOpen, kMallory);
    post(kOpen, kMallory);
    post(kOpen, kAlice);
    EXPECT_EQ(authority.checks.size(), 2u);
    EXPECT_EQ(answers(), Names{answer(kOpen)});
    platform.clock.advance(5);
    post(kChargeOff, kAlice);
    EXPECT_EQ(authority.checks.size(), 3u) << "asked again once the window has passed";
}

// A flood waiting on a check that never ends is bounded, refused after ten seconds without
// holding up others, and refused at once under the same decision with one journal line a minute.
TEST_F(Gate, AFloodIsBoundedRefusedAndSummedUp) {
    authority.user(kMallory, 1001, true, -1);
    for (int i = 0; i < 40; ++i) post(kChargeOff, kMallory);
    post(kStatus, kRoot);  // still finds room behind the flood
    EXPECT_EQ(gate.queued(), 33u);
    platform.clock.advance(9.9);
    EXPECT_TRUE(answers().empty());
    platform.clock.advance(0.1);
    EXPECT_EQ(answers(), Names{answer(kStatus)});
    EXPECT_EQ(gate.queued(), 0u);
    EXPECT_TRUE(smc.writes.empty());

    platform.log.clear();
    for (int i = 0; i < 40; ++i) post(kChargeOff, kMallory);
    for (int i = 0; i < 100; ++i) post(kStatus, kMallory);  // answered at once
    EXPECT_EQ(answers().size(), 101u);
    EXPECT_TRUE(journal().empty());
    platform.clock.advance(60);
    EXPECT_EQ(journal().size(), 2u) << "refusals and drops, one line each";
}

}  // namespace
}  // namespace ampwarden::test
