#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "platform/linux/PosixProcessRunner.h"
#include "platform/linux/SdEventRunLoop.h"

namespace ampwarden {
namespace {

std::optional<ProcessResult> bash(PosixProcessRunner& runner, const std::string& line) {
    return runner.run({"/bin/bash", "-c", line});
}

// The main loop blocks SIGTERM for itself; children must not inherit that.
TEST(PosixProcessRunnerTest, OutputAndStatusComeWholeAndSignalsEndChildren) {
    SdEventRunLoop loop;
    PosixProcessRunner runner;
    auto result =
        bash(runner, "x=1; for word in '/tmp/Ampwarden Helper' \"$x\"y; do echo \"[$word]\"; done");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->output, "[/tmp/Ampwarden Helper]\n[1y]\n");
    auto large = bash(runner, "head -c 8388608 /dev/zero | tr '\\0' x; exit 3");  // drained first
    ASSERT_TRUE(large);
    EXPECT_TRUE(large->output == std::string(8388608, 'x'));
    EXPECT_EQ(large->status, 3);
    auto killed = bash(runner, "kill -TERM $$; echo survived");
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->status, 128 + SIGTERM);
    for (const auto& missing :
         {std::vector<std::string>{"/nonexistent/program"}, {"ampwarden-no-such-program"}, {}}) {
        EXPECT_FALSE(runner.run(missing));
    }
}

}  // namespace
}  // namespace ampwarden
