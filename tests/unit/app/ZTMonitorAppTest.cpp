#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/ZTMonitorApp.h"
#include "channel/LocalNotificationCenter.h"
#include "fake/FakePlatform.h"

namespace ampwarden::test {
namespace {

using Lines = std::vector<std::string>;

class Watchdog : public ::testing::Test {
  protected:
    void SetUp() override {
        platform.center.addObserver("mainAppIsKilled", [this] { ++killed; });
    }
    void appRunning(bool running) {
        platform.apps.ids = {std::nullopt, "org.other"};
        if (running) platform.apps.ids.push_back("lumora.Battery");
    }

    FakePlatform platform;
    CommandGate gate{platform.clock, platform.authorities, platform.log};
    std::shared_ptr<ZTMonitorApp> watchdog = std::make_shared<ZTMonitorApp>(
        platform.clock, platform.apps, platform.log, gate, platform.center);
    int killed = 0;
};

TEST_F(Watchdog, ChecksAtStartThenEveryTenSecondsAndReportsOnlyAnAppItHasSeen) {
    appRunning(false);
    watchdog->startMonitoringAppWithBundleID("lumora.Battery");
    platform.clock.advance(40);
    EXPECT_EQ(platform.apps.queries, 5);
    EXPECT_EQ(killed, 0);

    appRunning(true);
    platform.clock.advance(10);
    appRunning(false);
    platform.clock.advance(30);
    EXPECT_EQ(killed, 1) << "once, however many checks miss it";

    appRunning(true);
    platform.clock.advance(10);
    appRunning(false);
    platform.clock.advance(5);
    appRunning(true);  // back before the next check
    platform.clock.advance(5);
    EXPECT_EQ(killed, 1);
}

// A lookup that fails says nothing about the app; someone else holding its name is not the app,
// and neither its claim nor its release touches the charging.
TEST_F(Watchdog, AFailedLookupKeepsTheStateAndAnotherUsersClaimIsOnlyLogged) {
    appRunning(true);
    watchdog->startMonitoringAppWithBundleID("lumora.Battery");
    platform.log.clear();
    platform.apps.failure = "Connection timed out";
    platform.clock.advance(30);
    EXPECT_EQ(killed, 0);
    EXPECT_TRUE(watchdog->wasRunning());
    EXPECT_EQ(platform.log.systemLines(),
              Lines{"Ampwarden: cannot tell whether lumora.Battery runs (Connection timed out); "
                    "keeping the last state"});

    platform.apps.failure.clear();
    appRunning(false);
    platform.clock.advance(10);
    EXPECT_EQ(killed, 1);

    platform.authorities.user(":1.9", 1001, false);
    platform.apps.owner = ":1.9";
    appRunning(true);
    platform.log.clear();
    platform.clock.advance(30);
    appRunning(false);
    platform.clock.advance(10);
    EXPECT_EQ(killed, 1);
    EXPECT_FALSE(watchdog->wasRunning());
    EXPECT_EQ(platform.log.systemLines(),
              Lines{"Ampwarden: lumora.Battery is held by :1.9 (uid 1001), who may not command "
                    "the helper; not counted as the app"});
}

// A new timer replaces the old one in its slot, and a one-shot empties the slot after it ran
// unless its block already put a successor there.
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
