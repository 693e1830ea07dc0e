#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "app/ConsoleUser.h"
#include "channel/NotificationNames.h"
#include "fake/FakePlatform.h"

namespace ampwarden::test {
namespace {

using Names = std::vector<std::string>;

TEST(ConsoleUser, OnlyNoUserOrTheExactLoginWindowNameCountsAsNobody) {
    FakePlatform platform;
    const std::optional<std::string> users[] = {"loginWindow", std::nullopt, "LoginWindow",
                                                "loginWindow "};
    for (const auto& user : users) {
        platform.login.user = user;
        EXPECT_EQ(currentConsoleUser(platform.login), user == "loginWindow" ? std::nullopt : user);
    }
}

// The queries are observed before the start-up report goes out, so none can be missed.
TEST(AppDelegate, AsRootObservesTheQueriesReportsOnceAndAnswersEachUnderItsOwnName) {
    InstalledPlatform<> platform;
    AppDelegate delegate{platform, platform.center};
    delegate.applicationDidFinishLaunching();
    const Names observed = platform.notifications.observedNames();
    ASSERT_GE(observed.size(), 2u);
    EXPECT_EQ(observed[0], names::kQueryDaemonLoadStatus);
    EXPECT_EQ(observed[1], names::kGlobalQueryDaemonLoadStatus);
    EXPECT_EQ(platform.notifications.answerNames(), Names{names::kGlobalDaemonLoadStatusAnswer});

    platform.notifications.answers.clear();
    platform.notifications.postDarwinNotification(names::kQueryDaemonLoadStatus);
    platform.notifications.postDarwinNotification(names::kGlobalQueryDaemonLoadStatus);
    daemonStatusQueryCallback("ZTBattery_TellDeamon_QueryDeamonLoadStatusCallback");
    daemonStatusQueryCallback("");
    EXPECT_EQ(platform.notifications.answerNames(),
              (Names{names::kDaemonLoadStatusAnswer, names::kGlobalDaemonLoadStatusAnswer}));
}

TEST(AppDelegate, WithoutEffectiveRootWiresNothingEvenWithRealRoot) {
    FakePlatform platform;
    platform.facts.ids = {.euid = 1000, .uid = 0, .egid = 1000, .gid = 0};
    AppDelegate delegate{platform, platform.center};
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(sharedAppDelegate, &delegate);
    EXPECT_TRUE(platform.notifications.observedNames().empty());
    EXPECT_TRUE(platform.notifications.answers.empty());
    EXPECT_TRUE(platform.log.empty());
    platform.clock.advance(60);
    EXPECT_EQ(platform.clock.pending(), 0u) << "no watchdog either";
}

}  // namespace
}  // namespace ampwarden::test
