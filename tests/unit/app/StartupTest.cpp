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

// Without effective root (even with real root) nothing is wired; as root both status queries
// are answered, each under its own name, after the report sent at start.
TEST(AppDelegate, OnlyEffectiveRootReportsAndAnswersTheStatusQueries) {
    InstalledPlatform<> platform;
    platform.facts.ids = {.euid = 1000, .uid = 0, .egid = 1000, .gid = 0};
    AppDelegate(platform, platform.center).applicationDidFinishLaunching();
    for (const char* query : {names::kQueryDaemonLoadStatus, names::kSMCStatus}) {
        platform.notifications.postDarwinNotification(query);
    }
    EXPECT_TRUE(platform.notifications.answers.empty());

    platform.facts.ids = {};
    AppDelegate delegate{platform, platform.center};
    delegate.applicationDidFinishLaunching();
    platform.notifications.postDarwinNotification(names::kQueryDaemonLoadStatus);
    platform.notifications.postDarwinNotification(names::kGlobalQueryDaemonLoadStatus);
    EXPECT_EQ(platform.notifications.answerNames(),
              (Names{names::kGlobalDaemonLoadStatusAnswer, names::kDaemonLoadStatusAnswer,
                     names::kGlobalDaemonLoadStatusAnswer}));
}

}  // namespace
}  // namespace ampwarden::test
