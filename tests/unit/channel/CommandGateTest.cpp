#include <gtest/gtest.h>

#include "channel/ZTBatteryNewModule.h"
#include "fake/FakePlatform.h"
#include "fake/RecordingSMC.h"
#include "protocol/NotificationNames.h"

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
    // The gate's own lines, without what the commands themselves log.
    Names journal() const {
        Names lines;
        for (const std::string& line : platform.log.systemLines()) {
            if (line.rfind("Ampwarden: ", 0) == 0) lines.push_back(line);
        }
        return lines;
    }

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

TEST_F(Gate, ASlowCheckHoldsUpOnlyItsOwnConnectionWhichKeepsItsOrder) {
    authority.user(kAlice, 1000, true, 2.0);
    post(kChargeOff, kAlice);
    post(kStatus, kAlice);
    post(kStatus, kRoot);
    post(kChargeOn, kRoot);
    EXPECT_EQ(answers(), (Names{answer(kStatus), answer(kChargeOn)}));
    platform.clock.advance(2);
    EXPECT_EQ(answers(),
              (Names{answer(kStatus), answer(kChargeOn), answer(kChargeOff), answer(kStatus)}));
}

TEST_F(Gate, AnAllowanceIsReusedBrieflyForTheSameConnectionARefusalForTheWholeUid) {
    authority.user(kMallory, 1001, false);
    authority.user(":1.7", 1001, false);
    authority.user(kAlice, 1000, true);
    post(kOpen, kMallory);
    post(kOpen, ":1.7");
    post(kOpen, kAlice);
    post(kOpen, kAlice);
    EXPECT_EQ(authority.checks.size(), 2u);
    EXPECT_EQ(answers(), (Names{answer(kOpen), answer(kOpen)}));
    platform.clock.advance(5);
    post(kChargeOff, kAlice);
    post(kChargeOff, ":1.7");
    EXPECT_EQ(authority.checks.size(), 4u) << "asked again once the window has passed";
}

// The app's "close" arrives under a standing allowance and waits behind a password prompt;
// by the time it runs, the app has left the bus and the allowance has expired.
TEST_F(Gate, ACommandKeepsTheDecisionThatStoodWhenItArrived) {
    authority.user(kAlice, 1000, true);
    post(kOpen, kAlice);
    platform.clock.advance(4.9);
    authority.scripts[kAlice].delay = 2;
    post(kUninstall, kAlice);
    post(kChargeOn, kAlice);
    authority.left.insert(kAlice);
    platform.clock.advance(3);
    EXPECT_EQ(answers().back(), answer(kChargeOn)) << "carried out, not refused";
    EXPECT_TRUE(journal().empty());
}

// A stranger with many connections is one stranger: one check at a time, whose "no" drops the
// rest as they arrive; the console user's commands pass meanwhile, and the journal names the
// stranger, per uid.
TEST_F(Gate, AStrangersConnectionsShareOneBoundAndOneRefusal) {
    authority.console = 1000;
    authority.user(kAlice, 1000, true);
    for (int c = 0; c < 200; ++c) authority.user(":2." + std::to_string(c), 65534, false, 0.5);
    for (int round = 0; round < 4; ++round) {
        for (int c = 0; c < 200; ++c) {
            for (int i = 0; i < 32; ++i) post(kChargeOff, ":2." + std::to_string(c));
        }
        EXPECT_LE(gate.queued(), gate.limits().queuePerUser);
        post(round % 2 == 0 ? kChargeOff : kChargeOn, kAlice);
        EXPECT_EQ(answers().size(), static_cast<std::size_t>(round + 1));
        platform.clock.advance(0.2);
    }
    EXPECT_EQ(authority.checks.size(), 2u) << "one for the stranger, one for the console user";
    EXPECT_TRUE(smc.writes.size() >= 4u);
    platform.clock.advance(60);
    EXPECT_EQ(gate.queued(), 0u);
    ASSERT_EQ(journal().size(), 4u);
    EXPECT_EQ(journal()[0],
              "Ampwarden: too many commands waiting from uid 65534 (:2.2); dropped "
              "ZTBattery_TellDeamon_SetDisableCharging x1");
    EXPECT_EQ(journal()[1].rfind("Ampwarden: refused ZTBattery_TellDeamon_SetDisableCharging "
                                 "from :2.0 (uid 65534, pid 69534)",
                                 0),
              0u);
    EXPECT_EQ(journal()[2],
              "Ampwarden: refused 6463 more commands from uid 65534: not authorised by polkit");
    EXPECT_EQ(journal()[3],
              "Ampwarden: too many commands waiting from uid 65534 (:2.0, :2.1, :2.10 and 197 "
              "more); dropped ZTBattery_TellDeamon_SetDisableCharging x19135");
    for (const std::string& line : journal()) EXPECT_EQ(line.find(kAlice), std::string::npos);
}

// A flood waiting on a check that never ends is bounded per connection, holds up nobody else,
// is refused after ten seconds, and then refused as it arrives with one journal line a minute.
TEST_F(Gate, AFloodIsBoundedRefusedAndSummedUp) {
    authority.user(kMallory, 1001, true, -1);
    for (int i = 0; i < 40; ++i) post(kChargeOff, kMallory);
    post(kStatus, kRoot);
    EXPECT_EQ(gate.queued(), 32u);
    EXPECT_EQ(answers(), Names{answer(kStatus)});
    platform.clock.advance(10);
    EXPECT_EQ(gate.queued(), 0u);
    EXPECT_TRUE(smc.writes.empty());

    platform.log.clear();
    for (int i = 0; i < 40; ++i) post(kChargeOff, kMallory);
    for (int i = 0; i < 100; ++i) post(kStatus, kMallory);
    EXPECT_EQ(answers().size(), 101u);
    EXPECT_TRUE(journal().empty());
    platform.clock.advance(60);
    EXPECT_EQ(journal().size(), 2u) << "refusals and drops, one line each";
}

// While more has arrived than has been read, identical queries share one answer a moment later;
// commands are not held up by them, and a query alone is answered at once.
TEST_F(Gate, QueriesInAFloodShareOneAnswerAndHoldUpNoCommand) {
    bool flooded = true;
    gate.watchBacklog([&flooded] { return flooded; });
    authority.user(kAlice, 1000, true);
    for (int i = 0; i < 1000; ++i)
        post(names::kQueryChargingStatus, ":3." + std::to_string(i % 50));
    post(kChargeOff, kAlice);
    EXPECT_EQ(answers(), Names{answer(kChargeOff)});
    platform.clock.advance(0.1);
    EXPECT_EQ(answers(), (Names{answer(kChargeOff), names::kChargingStatusAnswer}));
    flooded = false;
    post(names::kQueryChargingStatus, ":3.0");
    EXPECT_EQ(answers().size(), 3u);
}

// Until the bus says who sent them, commands share one space: when it is full, the connection
// with the most waiting gives way to one with few.
TEST_F(Gate, UnidentifiedCommandsShareASpaceWhereFewWaitingAlwaysFindRoom) {
    CommandGate small{platform.clock, authority, platform.log, {10, 90, 5, 32, 64, 8, 60}};
    authority.credentialsDelay = 0.1;
    authority.user(kAlice, 1000, true);
    authority.user(kMallory, 1001, false);
    int carried = 0;
    for (int i = 0; i < 12; ++i) small.submit(kChargeOff, kMallory, CommandAccess::Control, [] {});
    small.submit(kChargeOff, kAlice, CommandAccess::Control, [&carried] { ++carried; });
    EXPECT_EQ(small.queued(), 8u);
    EXPECT_EQ(authority.credentialQuestions, 2);
    platform.clock.advance(0.1);
    EXPECT_EQ(carried, 1);
    ASSERT_EQ(journal().size(), 2u);
    EXPECT_EQ(journal()[0],
              "Ampwarden: too many commands waiting from :1.6 (uid not known); dropped "
              "ZTBattery_TellDeamon_SetDisableCharging x1");
}

}  // namespace
}  // namespace ampwarden::test
