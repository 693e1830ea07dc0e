#include <gtest/gtest.h>

#include <limits>

#include "ampwardenctl/AnswerFormat.h"
#include "ampwardenctl/AnswerWaiter.h"

namespace ampwarden::ctl {
namespace {

AnswerValue value(const char* signature, decltype(AnswerValue::value) v) { return {signature, v}; }

Answer statusAnswer() {
    return {"PostTo_BatteryAppManager_DeamonLoadStatus",
            {{"status", value("i", std::int64_t{1})},
             {"version", value("s", std::string("1.0.0"))},
             {"smcStatus", value("x", std::int64_t{-2})}}};
}

TEST(AnswerFormatTest, TextShowsEachValueWithItsBusType) {
    EXPECT_EQ(formatText(statusAnswer()),
              "PostTo_BatteryAppManager_DeamonLoadStatus\n"
              "  status = 1 (int32)\n"
              "  version = \"1.0.0\" (string)\n"
              "  smcStatus = -2 (int64)\n");
    EXPECT_EQ(formatText({"bare", {}}), "bare\n");
}

TEST(AnswerFormatTest, JsonKeepsWireOrderAndTypes) {
    EXPECT_EQ(formatJson(statusAnswer()),
              "{\"name\":\"PostTo_BatteryAppManager_DeamonLoadStatus\","
              "\"values\":{\"status\":1,\"version\":\"1.0.0\",\"smcStatus\":-2},"
              "\"types\":{\"status\":\"int32\",\"version\":\"string\",\"smcStatus\":\"int64\"}}");
    EXPECT_EQ(formatJson({"bare", {}}), "{\"name\":\"bare\",\"values\":{},\"types\":{}}");
}

TEST(AnswerFormatTest, ValuesThatJsonCannotCarryAsIsAreEscapedOrNull) {
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    EXPECT_EQ(jsonString("开始重启"), "\"开始重启\"");

    Answer odd{"odd",
               {{"list", value("as", std::monostate{})},
                {"nan", value("d", std::numeric_limits<double>::quiet_NaN())},
                {"half", value("d", 0.5)},
                {"flag", value("b", true)},
                {"big", value("t", std::numeric_limits<std::uint64_t>::max())}}};
    EXPECT_EQ(formatJson(odd),
              "{\"name\":\"odd\",\"values\":{\"list\":null,\"nan\":null,\"half\":0.5,"
              "\"flag\":true,\"big\":18446744073709551615},\"types\":{\"list\":\"as\","
              "\"nan\":\"double\",\"half\":\"double\",\"flag\":\"boolean\",\"big\":\"uint64\"}}");
    EXPECT_EQ(formatText({"tab", {{"s", value("s", std::string("a\tb"))}}}),
              "tab\n  s = \"a\\tb\" (string)\n");
}

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

TEST(AnswerWaiterTest, AcceptsEitherAlternative) {
    for (const char* answer : {"discharging_callback", "disableCharging_callback"}) {
        AnswerWaiter waiter(AnswerSteps{{"discharging_callback", "disableCharging_callback"}});
        EXPECT_EQ(waiter.awaited(), "\"discharging_callback\" or \"disableCharging_callback\"");
        EXPECT_TRUE(waiter.offer(answer));
        EXPECT_TRUE(waiter.done());
    }
    EXPECT_TRUE(AnswerWaiter(AnswerSteps{}).done());
}

}  // namespace
}  // namespace ampwarden::ctl
