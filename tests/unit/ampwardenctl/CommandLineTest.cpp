#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "ampwardenctl/CommandLine.h"
#include "channel/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

using Arguments = std::vector<std::string>;

Invocation parseOk(const Arguments& arguments) {
    auto parsed = parseCommandLine(arguments);
    if (auto* error = std::get_if<UsageError>(&parsed)) ADD_FAILURE() << error->message;
    auto* invocation = std::get_if<Invocation>(&parsed);
    return invocation ? *invocation : Invocation{};
}

// Which command each verb posts, and which answers it waits for, are the end-to-end tests': the
// helper answers only the right command, and ampwardenctl says which answer did not come.
TEST(CommandLineTest, OptionsStandAnywhereAndRawNamesWaitLikeTheirVerbs) {
    Invocation before = parseOk({"--json", "--timeout", "2.5", "smc-status"});
    Invocation after = parseOk({"smc-status", "--timeout=0.25", "--json"});
    EXPECT_TRUE(before.json && after.json);
    EXPECT_EQ(before.timeoutSeconds, 2.5);
    EXPECT_EQ(after.timeoutSeconds, 0.25);
    EXPECT_FALSE(parseOk({"open"}).timeoutSeconds.has_value());
    EXPECT_EQ(parseOk({"post", "--", "--json"}).command, "--json");  // "--" ends the options
    EXPECT_EQ(parseOk({"post", ""}).command, "");
    EXPECT_EQ(parseOk({"post", "-"}).command, "-");

    EXPECT_EQ(parseOk({"post", names::kUninstallHelper}).answers, parseOk({"uninstall"}).answers);
    EXPECT_EQ(parseOk({"post", names::kSetEnableDischarging}).answers,
              parseOk({"discharge", "on"}).answers);
    EXPECT_EQ(parseOk({"post", "ZTBattery_TellDeamon_Unknown"}).answers, AnswerSteps{});

    using Settings = std::vector<std::pair<std::string, std::string>>;  // the app's, in order
    EXPECT_EQ(parseOk({"app", "--keep", "75-80", "--limit=on", "--discharge-to", "50"}).settings,
              (Settings{{"keep", "75-80"}, {"limit", "on"}, {"discharge-to", "50"}}));
    for (const Arguments& asked : {Arguments{"--help"}, {"watch", "--help"}, {"-h", "charge"}}) {
        EXPECT_TRUE(std::holds_alternative<HelpText>(parseCommandLine(asked))) << asked[0];
    }
}

// A missing or unknown verb and a bad timeout are the end-to-end ctl test's too.
TEST(CommandLineTest, RejectsWhatItCannotCarryOut) {
    auto rejected = [](const Arguments& arguments) {
        return std::holds_alternative<UsageError>(parseCommandLine(arguments));
    };
    for (const char* line : {"open now", "charge ON", "limit on off", "post", "post a b",
                             "open --global", "open --verbose", "open --timeout", "app --keep",
                             "--help reboot", "status --limit on", "limit on --limit on"}) {
        std::istringstream words(line);
        EXPECT_TRUE(rejected({std::istream_iterator<std::string>(words), {}})) << line;
    }
    for (const char* seconds : {"0", "-1", "5s", "inf", "nan", "", "86401"}) {
        EXPECT_TRUE(rejected({"open", "--timeout", seconds})) << seconds;
    }
}

}  // namespace
}  // namespace ampwarden::ctl
