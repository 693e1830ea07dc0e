#include <gtest/gtest.h>

#include <iterator>
#include <limits>
#include <sstream>

#include "ampwardenctl/AnswerFormat.h"
#include "ampwardenctl/AnswerWaiter.h"
#include "ampwardenctl/CommandLine.h"
#include "ampwardenctl/HelperDiagnosis.h"
#include "protocol/CommandProtocol.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

using Arguments = std::vector<std::string>;

AnswerValue value(const char* signature, decltype(AnswerValue::value) v) { return {signature, v}; }

Invocation parseOk(const Arguments& arguments) {
    return std::get<Invocation>(parseCommandLine(arguments));
}

// Which command each verb posts, and which answers it waits for, are the end-to-end tests': the
// helper answers only the right command, and ampwardenctl says which answer did not come.
TEST(CommandLineTest, OptionsStandAnywhereAndRawNamesWaitLikeTheirVerbs) {
    Invocation before = parseOk({"--json", "--timeout", "2.5", "smc-status"});
    Invocation after = parseOk({"smc-status", "--timeout=0.25", "--json"});
    EXPECT_TRUE(before.json && after.json);
    EXPECT_EQ(before.timeoutSeconds, 2.5);
    EXPECT_EQ(after.timeoutSeconds, 0.25);
    EXPECT_EQ(parseOk({"post", "--", "--json"}).command, "--json");  // "--" ends the options
    EXPECT_EQ(parseOk({"post", "-"}).command, "-");

    EXPECT_EQ(parseOk({"post", names::kUninstallHelper}).answers.size(), 2u);
    // Every command of the protocol table is posted by the verb the table gives it, and every
    // answer it brings is in the table.
    for (const protocol::CommandEntry& command : protocol::kCommands) {
        std::istringstream words(command.verb);
        EXPECT_EQ(parseOk({std::istream_iterator<std::string>(words), {}}).command, command.name);
        for (const protocol::AnswerStep& step : command.answers) {
            EXPECT_TRUE(!step.name || protocol::findAnswer(step.name)) << command.name;
        }
    }
    EXPECT_EQ(parseOk({"post", "ZTBattery_TellDeamon_Unknown"}).answers, AnswerSteps{});

    using Settings = std::vector<std::pair<std::string, std::string>>;  // the app's, in order
    EXPECT_EQ(parseOk({"app", "--keep", "75-80", "--limit=on", "--keep=70-75"}).settings,
              (Settings{{"keep", "75-80"}, {"limit", "on"}, {"keep", "70-75"}}));
    // The app's settings by verb: what the running app is asked to change, 'off' removing it;
    // the limit also names the helper's command, for when no app runs.
    Invocation keep = parseOk({"keep", "75-80"});
    EXPECT_EQ(keep.mode, Mode::AppChange);
    EXPECT_EQ(keep.appChange, (SettingChange{"keep", "75-80"}));
    EXPECT_EQ(parseOk({"discharge-to", "off"}).appChange,
              (SettingChange{"discharge-to", std::nullopt}));
    Invocation limit = parseOk({"limit", "off"});
    EXPECT_EQ(limit.command, names::kSetDisableChargingLimitMax);
    EXPECT_EQ(limit.appChange, (SettingChange{"limit", "off"}));
    EXPECT_EQ(parseOk({"charge", "off"}).appChange, std::nullopt);
    for (const Arguments& asked : {Arguments{"--help"}, {"watch", "--help"}, {"-h", "charge"}}) {
        EXPECT_TRUE(std::holds_alternative<HelpText>(parseCommandLine(asked))) << asked[0];
    }
}

// A missing or unknown verb and a bad timeout are the end-to-end ctl test's too.
TEST(CommandLineTest, RejectsWhatItCannotCarryOut) {
    auto rejected = [](const Arguments& arguments) {
        return std::holds_alternative<UsageError>(parseCommandLine(arguments));
    };
    for (const char* line :
         {"open now", "charge ON", "limit on off", "post", "post a b", "open --global",
          "open --verbose", "open --timeout", "app --keep", "--help reboot", "status --limit on",
          "limit on --limit on", "app --discharge-to 50 --keep=75-80", "keep", "keep 80-75",
          "keep 75-80 off", "discharge-to 0", "discharge-to on", "keep --keep 75-80"}) {
        std::istringstream words(line);
        EXPECT_TRUE(rejected({std::istream_iterator<std::string>(words), {}})) << line;
    }
    for (const char* seconds : {"0", "-1", "5s", "inf", "nan", "", "86401"}) {
        EXPECT_TRUE(rejected({"open", "--timeout", seconds})) << seconds;
    }
}

// Other types as they come (arrays as null, booleans, UTF-8) are the end-to-end watch test's.
TEST(AnswerFormatTest, JsonKeepsWireOrderAndTypesAndBothFormsEscapeWhatTheyCannotCarryAsIs) {
    const Answer answer{"status",
                        {{"status", value("i", std::int64_t{1})},
                         {"version", value("s", std::string("1.0.0"))},
                         {"smcStatus", value("x", std::int64_t{-2})},
                         {"nan", value("d", std::numeric_limits<double>::quiet_NaN())},
                         {"half", value("d", 0.5)},
                         {"big", value("t", std::numeric_limits<std::uint64_t>::max())}}};
    EXPECT_EQ(formatJson(answer),
              R"({"name":"status","values":{"status":1,"version":"1.0.0","smcStatus":-2,)"
              R"("nan":null,"half":0.5,"big":18446744073709551615},"types":{"status":"int32",)"
              R"("version":"string","smcStatus":"int64","nan":"double","half":"double",)"
              R"("big":"uint64"}})");
    EXPECT_EQ(formatJson({"bare", {}}), R"({"name":"bare","values":{},"types":{}})");
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), R"("a\"b\\c\n\u0001")");

    // Text: one value a line with its bus type; the end-to-end tests show a whole answer.
    EXPECT_EQ(formatText({"tab", {{"s", value("s", std::string("a\tb"))}}}),
              "tab\n  s = \"a\\tb\" (string)\n");
}

// Waiting for either of two answers, and for none, is the end-to-end ctl and lid tests'.
TEST(AnswerWaiterTest, FollowsOnlyTheStepAwaitedNext) {
    AnswerWaiter uninstall(AnswerSteps{{"close_callback"}, {"uninstall_callBack"}});
    EXPECT_FALSE(uninstall.offer("uninstall_callBack"));  // not before the close answer
    EXPECT_FALSE(uninstall.offer("PostTo_BatteryAppManager_GlobalDeamonLoadStatusCallback"));
    EXPECT_TRUE(uninstall.offer("close_callback"));
    EXPECT_EQ(uninstall.awaited(), "\"uninstall_callBack\"");
    EXPECT_FALSE(uninstall.offer("close_callback"));
    EXPECT_TRUE(uninstall.offer("uninstall_callBack"));
    EXPECT_TRUE(uninstall.done());
}

// A silent helper is told apart: stopped, waiting for a login at the machine, or refusing the
// caller; what the bus could not tell is said as a question.
TEST(HelperDiagnosis, TellsNotRunningWaitingForALoginAndNotAuthorisedApart) {
    using Unit = HelperDiagnosis::Unit;
    const std::tuple<HelperDiagnosis::Facts, bool, bool, const char*> cases[] = {
        {{Unit::NotRunning, "inactive", true}, true, false, "the helper is not running"},
        {{Unit::Running, "active", false}, true, true, "the helper is running but waits for"},
        {{Unit::Unknown, "", false}, false, true, "if the helper runs, it waits for"},
        {{Unit::Running, "active", true}, true, false, "not authorised"},
        {{Unit::Running, "active", true}, true, true, "the helper runs but did not answer"},
        {{Unit::Unknown, "", std::nullopt}, false, false, "is the helper running?"}};
    for (const auto& [facts, needsAuthorisation, root, said] : cases) {
        EXPECT_EQ(HelperDiagnosis::explain(facts, needsAuthorisation, root).rfind(said, 0), 0u)
            << said;
    }
}

}  // namespace
}  // namespace ampwarden::ctl
