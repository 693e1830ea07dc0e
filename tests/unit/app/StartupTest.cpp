#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "app/ConsoleUser.h"
#include "fake/FakePlatform.h"
#include "protocol/NotificationNames.h"

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

// Without effective root (even with real root) nothing is wired; what root answers is the
// helper log table's (HelperLogTest).
TEST(AppDelegate, WithoutEffectiveRootNothingIsWired) {
    FakePlatform platform;
    platform.facts.ids = {.euid = 1000, .uid = 0, .egid = 1000, .gid = 0};
    AppDelegate(platform, platform.center).applicationDidFinishLaunching();
    for (const char* query : {names::kQueryDaemonLoadStatus, names::kSMCStatus}) {
        platform.notifications.postDarwinNotification(query);
    }
    EXPECT_TRUE(platform.notifications.answers.empty());
}

// Anyone may ask for the helper's state, but only a question from someone who may command the
// helper makes the watchdog take the app for seen: otherwise anyone could have root's settings
// reset at the next check.
TEST(AppDelegate, OnlyAStatusQueryFromSomeoneInChargeMarksTheAppSeen) {
    FakePlatform platform;
    int killed = 0;
    platform.center.addObserver(names::kMainAppIsKilled, [&killed] { ++killed; });
    AppDelegate delegate{platform, platform.center};
    delegate.applicationDidFinishLaunching();
    platform.authorities.user(":1.7", 65534, false);
    platform.authorities.user(":1.8", 1000, true, 1);
    for (int i = 0; i < 3; ++i) {
        platform.notifications.postDarwinNotification(names::kQueryDaemonLoadStatus, ":1.7");
    }
    platform.clock.advance(25);
    EXPECT_EQ(killed, 0);
    EXPECT_EQ(platform.authorities.checks.size(), 1u) << "the refused sender is asked once";
    EXPECT_EQ(platform.notifications.answerNames().size(), 4u) << "yet answered every time";

    platform.notifications.postDarwinNotification(names::kGlobalQueryDaemonLoadStatus, ":1.8");
    platform.clock.advance(10);
    EXPECT_EQ(killed, 1);
    platform.notifications.postDarwinNotification(names::kQueryDaemonLoadStatus);  // root
    platform.clock.advance(10);
    EXPECT_EQ(killed, 2);

    // In a flood the stranger's query and the user's share one answer; the user still counts.
    platform.notifications.backlogged = true;
    auto statusAnswers = [&platform] {
        const Names all = platform.notifications.answerNames();
        return std::count(all.begin(), all.end(), names::kDaemonLoadStatusAnswer);
    };
    const auto answered = statusAnswers();
    platform.notifications.postDarwinNotification(names::kQueryDaemonLoadStatus, ":1.7");
    platform.notifications.postDarwinNotification(names::kQueryDaemonLoadStatus, ":1.8");
    platform.clock.advance(10);
    EXPECT_EQ(statusAnswers(), answered + 1);
    EXPECT_EQ(killed, 3);
}

}  // namespace
}  // namespace ampwarden::test
