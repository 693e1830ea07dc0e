#include <gtest/gtest.h>

#include "ampwardenctl/CommandLine.h"
#include "channel/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

Invocation parseOk(const std::vector<std::string>& arguments) {
    auto parsed = parseCommandLine(arguments);
    if (auto* error = std::get_if<UsageError>(&parsed)) ADD_FAILURE() << error->message;
    if (!std::holds_alternative<Invocation>(parsed)) return {};
    return std::get<Invocation>(parsed);
}

bool isUsageError(const std::vector<std::string>& arguments) {
    return std::holds_alternative<UsageError>(parseCommandLine(arguments));
}

// Which command each verb posts, and which answers it waits for, are the end-to-end tests': the
// helper answers only the right command, and ampwardenctl says which answer did not come.
TEST(CommandLineTest, ARawNameOfTheProtocolWaitsLikeItsVerbAndAnyOtherNameNot) {
    EXPECT_EQ(parseOk({"post", names::kUninstallHelper}).answers, parseOk({"uninstall"}).answers);
    EXPECT_EQ(parseOk({"post", names::kSetEnableDischarging}).answers,
              parseOk({"discharge", "on"}).answers);
    EXPECT_EQ(parseOk({"post", "ZTBattery_TellDeamon_Unknown"}).answers, AnswerSteps{});
}

TEST(CommandLineTest, OptionsStandAnywhereAndDoubleDashEndsThem) {
    Invocation before = parseOk({"--json", "--timeout", "2.5", "smc-status"});
    Invocation after = parseOk({"smc-status", "--timeout=0.25", "--json"});
    EXPECT_TRUE(before.json && after.json);
    EXPECT_EQ(before.timeoutSeconds, 2.5);
    EXPECT_EQ(after.timeoutSeconds, 0.25);
    EXPECT_FALSE(parseOk({"open"}).timeoutSeconds.has_value());

    EXPECT_EQ(parseOk({"post", "--", "--json"}).command, "--json");
    EXPECT_EQ(parseOk({"post", ""}).command, "");
    EXPECT_EQ(parseOk({"post", "-"}).command, "-");
}

TEST(CommandLineTest, RejectsWhatItCannotCarryOut) {
    // A missing or unknown verb and a bad timeout are the end-to-end ctl test's too.
    EXPECT_TRUE(isUsageError({"open", "now"}));
    EXPECT_TRUE(isUsageError({"charge", "ON"}));
    EXPECT_TRUE(isUsageError({"limit", "on", "off"}));
    EXPECT_TRUE(isUsageError({"post"}));
    EXPECT_TRUE(isUsageError({"post", "a", "b"}));
    EXPECT_TRUE(isUsageError({"open", "--global"}));
    EXPECT_TRUE(isUsageError({"open", "--verbose"}));
    EXPECT_TRUE(isUsageError({"open", "--timeout"}));
    for (const char* seconds : {"0", "-1", "5s", "inf", "nan", "", "86401"}) {
        EXPECT_TRUE(isUsageError({"open", "--timeout", seconds})) << seconds;
    }
}

TEST(CommandLineTest, TheAppTakesItsSettingsInOrderAndNoOtherVerbDoes) {
    using Settings = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(parseOk({"app", "--keep", "75-80", "--limit=on", "--discharge-to", "50"}).settings,
              (Settings{{"keep", "75-80"}, {"limit", "on"}, {"discharge-to", "50"}}));
    EXPECT_TRUE(isUsageError({"app", "--keep"}));
    EXPECT_TRUE(isUsageError({"status", "--limit", "on"}));
    EXPECT_TRUE(isUsageError({"limit", "on", "--limit", "on"}));
}

TEST(CommandLineTest, HelpForTheProgramAndForAVerb) {
    for (const std::vector<std::string>& asked :
         {std::vector<std::string>{"--help"}, {"watch", "--help"}, {"-h", "charge"}}) {
        EXPECT_TRUE(std::holds_alternative<HelpText>(parseCommandLine(asked))) << asked[0];
    }
    EXPECT_TRUE(isUsageError({"--help", "reboot"}));
}

}  // namespace
}  // namespace ampwarden::ctl
