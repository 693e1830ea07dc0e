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
        LocalNotificationCenter::defaultCenter().addObserver("mainAppIsKilled",
                                                             [this] { ++killed; });
    }
    void TearDown() override { monitorTimer.reset(); }
    void appRunning(bool running) {
        platform.apps.ids = {std::nullopt, "org.other"};
        if (running) platform.apps.ids.push_back("lumora.Battery");
    }

    FakePlatform platform;
    std::shared_ptr<ZTMonitorApp> watchdog = std::make_shared<ZTMonitorApp>();
    int killed = 0;
};

TEST_F(Watchdog, ChecksAtStartThenEveryTenSecondsAndReportsOnlyAnAppItHasSeen) {
    appRunning(false);
    watchdog->startMonitoringAppWithBundleID("lumora.Battery");
    platform.clock.advance(9.9);
    // Routine lines go out at debug level.
    EXPECT_EQ(platform.log.journal(), (Lines{"debug: checkAppStatus-->", "debug: app没在运行"}));
    platform.clock.advance(30.1);
    EXPECT_EQ(platform.apps.queries, 5);
    EXPECT_EQ(platform.log.journal()[2], "debug: Timer fired!");
    EXPECT_EQ(killed, 0);

    appRunning(true);
    platform.clock.advance(10);
    appRunning(false);
    platform.log.clear();
    platform.clock.advance(30);
    EXPECT_EQ(killed, 1) << "once, however many checks miss it";
    const Lines lines = platform.log.journal();
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 5),
              (Lines{"debug: Timer fired!", "debug: checkAppStatus-->",
                     "App with Bundle ID lumora.Battery has exited",
                     "应用程序已退出: lumora.Battery", "debug: app没在运行"}));

    appRunning(true);
    platform.clock.advance(10);
    appRunning(false);
    platform.clock.advance(5);
    appRunning(true);  // back before the next check
    platform.clock.advance(5);
    EXPECT_EQ(killed, 1);
}

// Through the delegate: a status query marks the app running, and the real command module
// closes the connection once the next check misses it.
TEST_F(Watchdog, AStatusQueryFromAnAppThatThenQuitGetsTheConnectionClosed) {
    appRunning(false);
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    platform.notifications.postDarwinNotification(
        "ZTBattery_TellDeamon_GlobalQueryDeamonLoadStatusCallBack");
    platform.notifications.answers.clear();
    platform.clock.advance(10);
    EXPECT_EQ(killed, 1);
    EXPECT_EQ(platform.notifications.answerNames(),
              Lines{"ZTBattery_TellDeamon_CloseSMC_callback"});
}

}  // namespace
}  // namespace ampwarden::test
