#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "app/Application.h"
#include "app/ConsoleUser.h"
#include "channel/NotificationNames.h"
#include "fake/FakePlatform.h"

namespace ampwarden::test {
namespace {

using Names = std::vector<std::string>;

TEST(ConsoleUser, OnlyTheExactLoginWindowNameCountsAsNobody) {
    FakePlatform platform;
    platform.login.user = "loginWindow";
    EXPECT_FALSE(currentConsoleUser());
    platform.login.user = "LoginWindow";
    EXPECT_EQ(currentConsoleUser(), "LoginWindow");
    platform.login.user = "loginWindow ";
    EXPECT_EQ(currentConsoleUser(), "loginWindow ");
    platform.login.user.reset();
    EXPECT_FALSE(currentConsoleUser());
}

TEST(Application, LaunchesAtOnceWhenSomebodyIsLoggedIn) {
    FakePlatform platform;
    Application app;
    app.start();
    EXPECT_TRUE(app.launched());
    EXPECT_EQ(platform.login.consoleUserQueries, 1);
    EXPECT_EQ(platform.clock.pending(), 1u)
        << "only the watchdog: no wait timer when a user is present";
}

TEST(Application, WaitsCheaplyForALoginThenLaunches) {
    FakePlatform platform;
    platform.login.user = "loginWindow";
    Application app;
    app.start();
    platform.clock.advance(60);
    EXPECT_FALSE(app.launched());
    EXPECT_TRUE(platform.notifications.answers.empty());
    // One question a second while waiting: no spinning.
    EXPECT_LE(platform.login.consoleUserQueries, 61);

    platform.login.user = "alice";
    platform.clock.advance(Application::kConsoleUserPollSeconds);
    ASSERT_TRUE(app.launched());
    EXPECT_EQ(platform.notifications.answerNames(), Names{names::kGlobalDaemonLoadStatusAnswer});
    const int queries = platform.login.consoleUserQueries;
    platform.clock.advance(10);
    EXPECT_EQ(platform.login.consoleUserQueries, queries) << "the wait ends with the launch";
}

TEST(AppDelegate, AsRootRegistersTheQueriesThenReportsOnce) {
    FakePlatform platform;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(sharedAppDelegate, &delegate);
    const Names observed = platform.notifications.observedNames();
    ASSERT_GE(observed.size(), 2u);
    EXPECT_EQ(observed[0], names::kQueryDaemonLoadStatus);
    EXPECT_EQ(observed[1], names::kGlobalQueryDaemonLoadStatus);
    EXPECT_EQ(platform.notifications.answerNames(), Names{names::kGlobalDaemonLoadStatusAnswer});
}

TEST(AppDelegate, WithoutEffectiveRootWiresNothingEvenWithRealRoot) {
    FakePlatform platform;
    platform.facts.ids = {.euid = 1000, .uid = 0, .egid = 1000, .gid = 0};
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(sharedAppDelegate, &delegate);
    EXPECT_TRUE(platform.notifications.observedNames().empty());
    EXPECT_TRUE(platform.notifications.answers.empty());
    EXPECT_TRUE(platform.log.empty());
    platform.notifications.postDarwinNotification(names::kQueryDaemonLoadStatus);
    platform.clock.advance(60);
    EXPECT_TRUE(platform.notifications.answers.empty());
}

TEST(AppDelegate, AnswersEachStatusQueryUnderItsOwnNameAndIgnoresOthers) {
    FakePlatform platform;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    platform.notifications.answers.clear();

    platform.notifications.postDarwinNotification(names::kQueryDaemonLoadStatus);
    platform.notifications.postDarwinNotification(names::kGlobalQueryDaemonLoadStatus);
    daemonStatusQueryCallback("ZTBattery_TellDeamon_QueryDeamonLoadStatusCallback");
    daemonStatusQueryCallback("");
    EXPECT_EQ(platform.notifications.answerNames(),
              (Names{names::kDaemonLoadStatusAnswer, names::kGlobalDaemonLoadStatusAnswer}));
}

}  // namespace
}  // namespace ampwarden::test
