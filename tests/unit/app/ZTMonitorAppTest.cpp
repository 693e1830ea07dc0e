#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

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
        LocalNotificationCenter::defaultCenter().addObserver("mainAppIsKilled",
                                                             [this] { ++killedPosts; });
    }
    void TearDown() override { monitorTimer.reset(); }

    void start() {
        std::make_shared<ZTMonitorApp>()->startMonitoringAppWithBundleID("lumora.Battery");
    }
    void appRunning(bool running) {
        platform.apps.ids = {std::nullopt, std::string("org.other")};
        if (running) platform.apps.ids.push_back(std::string("lumora.Battery"));
    }

    FakePlatform platform;
    int killedPosts = 0;
};

TEST_F(Watchdog, ChecksAtStartThenEveryTenSecondsAndWaitsToSeeTheApp) {
    appRunning(false);
    start();
    EXPECT_EQ(platform.log.systemLines(), (Lines{"checkAppStatus-->", "app没在运行"}));
    platform.clock.advance(9.9);
    EXPECT_EQ(platform.apps.queries, 1);
    platform.clock.advance(0.1);
    EXPECT_EQ(platform.log.systemLines(), (Lines{"checkAppStatus-->", "app没在运行", "Timer fired!",
                                                 "checkAppStatus-->", "app没在运行"}));
    platform.clock.advance(30);
    EXPECT_EQ(platform.apps.queries, 5);
    EXPECT_EQ(killedPosts, 0) << "never seen, so never reported gone";
}

TEST_F(Watchdog, ReportsAnExitOnceAndIgnoresAQuickRestart) {
    appRunning(true);
    start();
    appRunning(false);
    platform.log.clear();
    platform.clock.advance(10);
    EXPECT_EQ(killedPosts, 1);
    EXPECT_EQ(platform.log.systemLines(), (Lines{"Timer fired!", "checkAppStatus-->",
                                                 "App with Bundle ID lumora.Battery has exited",
                                                 "应用程序已退出: lumora.Battery", "app没在运行"}));
    platform.clock.advance(20);
    EXPECT_EQ(killedPosts, 1);

    appRunning(true);
    platform.clock.advance(10);
    appRunning(false);  // quits ...
    appRunning(true);   // ... and is back before the next check
    platform.clock.advance(10);
    EXPECT_EQ(killedPosts, 1);
}

TEST_F(Watchdog, AQueryWhileTheAppIsGoneMakesTheNextCheckReportIt) {
    appRunning(false);
    auto watchdog = std::make_shared<ZTMonitorApp>();
    watchdog->startMonitoringAppWithBundleID("lumora.Battery");
    watchdog->setWasRunning(true);
    platform.clock.advance(10);
    EXPECT_EQ(killedPosts, 1);
    EXPECT_FALSE(watchdog->wasRunning());
}

// Through the delegate: the real command module closes the connection and answers.
TEST_F(Watchdog, AStatusQueryFromAnAppThatThenQuitGetsTheConnectionClosed) {
    appRunning(false);
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    platform.notifications.postDarwinNotification(
        "ZTBattery_TellDeamon_QueryDeamonLoadStatusCallBack");
    EXPECT_TRUE(delegate.monitor->wasRunning());
    platform.notifications.answers.clear();
    platform.clock.advance(10);
    EXPECT_EQ(killedPosts, 1);
    EXPECT_EQ(platform.notifications.answerNames(),
              Lines{"ZTBattery_TellDeamon_CloseSMC_callback"});
}

TEST(DispatchTimer, OneShotRunsOnceAndEmptiesTheSlotAndANewTimerReplacesTheOld) {
    FakePlatform platform;
    int first = 0, second = 0, once = 0;
    scheduleDispatchTimer(
        true, platform.clock, [&] { ++first; }, 1.0);
    platform.clock.advance(2);
    scheduleDispatchTimer(
        true, platform.clock, [&] { ++second; }, 1.0);
    platform.clock.advance(3);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 3);

    scheduleDispatchTimer(
        false, platform.clock, [&] { ++once; }, 0.5);
    platform.clock.advance(5);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(second, 3);
    EXPECT_EQ(monitorTimer, nullptr);
}

}  // namespace
}  // namespace ampwarden::test
