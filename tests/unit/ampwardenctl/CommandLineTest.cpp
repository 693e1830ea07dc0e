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

TEST(CommandLineTest, OnOffVerbsPostTheMatchingCommand) {
    struct Case {
        std::vector<std::string> arguments;
        const char* command;
    };
    const Case cases[] = {
        {{"charge", "on"}, names::kSetEnableCharging},
        {{"charge", "off"}, names::kSetDisableCharging},
        {{"discharge", "on"}, names::kSetEnableDischarging},
        {{"discharge", "off"}, names::kSetDisableDischarging},
        {{"limit", "on"}, names::kSetEnableChargingLimitMax},
        {{"limit", "off"}, names::kSetDisableChargingLimitMax},
        {{"daemon-info"}, names::kQueryDaemonLoadStatus},
        {{"daemon-info", "--global"}, names::kGlobalQueryDaemonLoadStatus},
        {{"charging-status"}, names::kQueryChargingStatus},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseOk(c.arguments).command, c.command) << c.arguments[0];
    }
}

TEST(CommandLineTest, WaitsForTheAnswersTheHelperSends) {
    EXPECT_EQ(parseOk({"discharge", "off"}).answers, AnswerSteps{});
    const AnswerSteps uninstall = {{names::kCloseSMCAnswer}, {names::kUninstallHelperAnswer}};
    EXPECT_EQ(parseOk({"uninstall"}).answers, uninstall);
    const AnswerSteps discharge = {
        {names::kSetEnableDischargingAnswer, names::kSetDisableChargingAnswer}};
    EXPECT_EQ(parseOk({"discharge", "on"}).answers, discharge);
    // A raw name of the protocol waits like its verb; any other name returns at once.
    EXPECT_EQ(parseOk({"post", names::kUninstallHelper}).answers, uninstall);
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

TEST(CommandLineTest, WatchAndAppRunWithoutACommand) {
    EXPECT_EQ(parseOk({"watch", "--json"}).mode, Mode::Watch);
    Invocation app = parseOk({"app", "--timeout", "3"});
    EXPECT_EQ(app.mode, Mode::App);
    EXPECT_EQ(app.timeoutSeconds, 3.0);
}

TEST(CommandLineTest, RejectsWhatItCannotCarryOut) {
    EXPECT_TRUE(isUsageError({}));
    EXPECT_TRUE(isUsageError({"reboot"}));
    EXPECT_TRUE(isUsageError({"open", "now"}));
    EXPECT_TRUE(isUsageError({"charge"}));
    EXPECT_TRUE(isUsageError({"charge", "ON"}));
    EXPECT_TRUE(isUsageError({"limit", "on", "off"}));
    EXPECT_TRUE(isUsageError({"post"}));
    EXPECT_TRUE(isUsageError({"post", "a", "b"}));
    EXPECT_TRUE(isUsageError({"open", "--global"}));
    EXPECT_TRUE(isUsageError({"open", "--verbose"}));
    for (const char* seconds : {"0", "-1", "abc", "5s", "inf", "nan", "", "86401"}) {
        EXPECT_TRUE(isUsageError({"open", "--timeout", seconds})) << seconds;
    }
    EXPECT_TRUE(isUsageError({"open", "--timeout"}));
}

TEST(CommandLineTest, HelpForTheProgramAndForEachVerb) {
    auto program = parseCommandLine({"--help"});
    ASSERT_TRUE(std::holds_alternative<HelpText>(program));
    for (const char* verb :
         {"open", "close", "smc-status", "charging-status", "charge", "discharge", "limit",
          "uninstall", "daemon-info", "post", "watch", "app"}) {
        EXPECT_NE(std::get<HelpText>(program).text.find(std::string("  ") + verb + " "),
                  std::string::npos)
            << verb;
        EXPECT_TRUE(std::holds_alternative<HelpText>(parseCommandLine({verb, "--help"}))) << verb;
    }
    auto charge = parseCommandLine({"-h", "charge"});
    ASSERT_TRUE(std::holds_alternative<HelpText>(charge));
    EXPECT_NE(std::get<HelpText>(charge).text.find(names::kSetDisableChargingAnswer),
              std::string::npos);
    EXPECT_TRUE(isUsageError({"--help", "reboot"}));
}

}  // namespace
}  // namespace ampwarden::ctl
