#include <gtest/gtest.h>

#include <limits>

#include "ampwardenctl/AnswerFormat.h"
#include "ampwardenctl/AnswerWaiter.h"

namespace ampwarden::ctl {
namespace {

AnswerValue value(const char* signature, decltype(AnswerValue::value) v) { return {signature, v}; }

// Other types as they come (arrays as null, booleans, UTF-8) are the end-to-end watch test's.
TEST(AnswerFormatTest, JsonKeepsWireOrderAndTypesAndBothFormsEscapeWhatTheyCannotCarryAsIs) {
    const Answer status{"status",
                        {{"status", value("i", std::int64_t{1})},
                         {"version", value("s", std::string("1.0.0"))},
                         {"smcStatus", value("x", std::int64_t{-2})}}};
    EXPECT_EQ(formatJson(status),
              "{\"name\":\"status\",\"values\":{\"status\":1,\"version\":\"1.0.0\","
              "\"smcStatus\":-2},\"types\":{\"status\":\"int32\",\"version\":\"string\","
              "\"smcStatus\":\"int64\"}}");
    EXPECT_EQ(formatJson({"bare", {}}), "{\"name\":\"bare\",\"values\":{},\"types\":{}}");
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");

    const Answer odd{"odd",
                     {{"nan", value("d", std::numeric_limits<double>::quiet_NaN())},
                      {"half", value("d", 0.5)},
                      {"big", value("t", std::numeric_limits<std::uint64_t>::max())}}};
    EXPECT_EQ(formatJson(odd),
              "{\"name\":\"odd\",\"values\":{\"nan\":null,\"half\":0.5,"
              "\"big\":18446744073709551615},\"types\":{\"nan\":\"double\",\"half\":\"double\","
              "\"big\":\"uint64\"}}");

    // Text: one value a line with its bus type; the end-to-end tests show a whole answer.
    EXPECT_EQ(formatText({"tab", {{"s", value("s", std::string("a\tb"))}}}),
              "tab\n  s = \"a\\tb\" (string)\n");
    EXPECT_EQ(formatText({"bare", {}}), "bare\n");
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
    EXPECT_FALSE(uninstall.offer("uninstall_callBack"));
}

}  // namespace
}  // namespace ampwarden::ctl
