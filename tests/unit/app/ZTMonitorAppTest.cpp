#include <gtest/gtest.h>

#include "app/ZTMonitorApp.h"
#include "fake/FakePlatform.h"
#include "platform/LocalNotificationCenter.h"

namespace ampwarden::test {
namespace {

class Watchdog : public ::testing::Test {
  protected:
    void SetUp() override {
        platform.center.addObserver("mainAppIsKilled", [this] { ++killed; });
        watchdog->startMonitoringAppWithBundleID("lumora.Battery");
    }
    // The app runs (or not) for the next `seconds`.
    void run(bool running, double seconds) {
        platform.apps.running = running ? "lumora.Battery" : "org.other";
        platform.clock.advance(seconds);
    }

    FakePlatform platform;
    CommandGate gate{platform.clock, platform.authorities, platform.log};
    std::shared_ptr<ZTMonitorApp> watchdog = std::make_shared<ZTMonitorApp>(
        platform.clock, platform.apps, platform.log, gate, platform.center);
    int killed = 0;
};

TEST_F(Watchdog, ChecksEveryTenSecondsAndReportsOnceOnlyAnAppItHasSeen) {
    run(false, 40);
    EXPECT_EQ(killed, 0);
    run(true, 10);
    run(false, 9.99);
    EXPECT_EQ(killed, 0) << "the next check is 10 s after the last";
    run(false, 20.01);
    EXPECT_EQ(killed, 1) << "once, however many checks miss it";
    run(true, 10);
    run(false, 5);
    run(true, 5);  // back before the next check
    EXPECT_EQ(killed, 1);
}

// A lookup that fails says nothing about the app; someone else holding its name is not the app,
// and neither its claim nor its release touches the charging.
TEST_F(Watchdog, AFailedLookupKeepsTheStateAndAnotherUsersClaimDoesNotCount) {
    run(true, 10);
    platform.apps.failure = "Connection timed out";
    run(false, 30);
    EXPECT_EQ(killed, 0);
    platform.apps.failure.clear();
    run(false, 10);
    EXPECT_EQ(killed, 1);

    platform.authorities.user(":1.9", 1001, false);
    platform.apps.owners = {":1.9"};
    run(true, 30);
    run(false, 10);
    EXPECT_EQ(killed, 1);
}

// A stranger who claims the name first does not hide the app waiting behind it: the app is
// whichever holder or waiter may command the helper, and each stranger is asked about once.
TEST_F(Watchdog, AnAppWaitingBehindAStrangersClaimCountsAndItsLeavingIsReported) {
    for (int i = 0; i < 40; ++i) platform.authorities.user(":2." + std::to_string(i), 65534, false);
    platform.authorities.user(":1.5", 1000, true, 1);
    std::vector<std::string> strangers;
    for (int i = 0; i < 40; ++i) strangers.push_back(":2." + std::to_string(i));
    platform.apps.owners = strangers;
    platform.apps.owners.push_back(":1.5");
    run(true, 10);
    EXPECT_EQ(killed, 0);
    run(true, 10);  // the rest of the queue is asked on the next check
    const std::size_t asked = platform.authorities.checks.size();
    EXPECT_EQ(asked, 41u);
    run(true, 30);
    EXPECT_EQ(platform.authorities.checks.size(), asked) << "nobody is asked twice";

    platform.apps.owners = strangers;  // the app quits; the strangers stay
    run(true, 10);
    EXPECT_EQ(killed, 1);
    EXPECT_EQ(platform.authorities.checks.size(), asked);
}

// Replacing the timer in the slot stops the old one; a one-shot empties the slot after it
// fires unless its block refilled it.
TEST(DispatchTimer, ReplacesTheTimerInItsSlotAndAOneShotEmptiesIt) {
    FakeRunLoop loop;
    std::unique_ptr<Timer> slot;
    std::string ticks;
    scheduleDispatchTimer(
        slot, true, loop, [&] { ticks += "a"; }, 1);
    scheduleDispatchTimer(
        slot, true, loop, [&] { ticks += "b"; }, 2);
    loop.advance(4);
    EXPECT_EQ(ticks, "bb");
    scheduleDispatchTimer(
        slot, false, loop, [&] { ticks += "c"; }, 1);
    loop.advance(3);
    EXPECT_EQ(ticks, "bbc");
    EXPECT_EQ(slot, nullptr);
    scheduleDispatchTimer(
        slot, false, loop,
        [&] {
            ticks += "d";
            scheduleDispatchTimer(
                slot, true, loop, [&] { ticks += "e"; }, 1);
        },
        1);
    loop.advance(3);
    EXPECT_EQ(ticks, "bbcdee");
    EXPECT_NE(slot, nullptr);
}

}  // namespace
}  // namespace ampwarden::test
