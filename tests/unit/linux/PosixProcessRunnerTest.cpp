#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/linux/PosixProcessRunner.h"
#include "platform/linux/SdEventRunLoop.h"

namespace ampwarden {
namespace {

std::optional<ProcessResult> bash(PosixProcessRunner& runner, const std::string& line) {
    return runner.run({"/bin/bash", "-c", line});
}

// The main loop blocks SIGTERM for itself; children must not inherit that. Dropping a handle
// must not leave a zombie behind for the life of the helper.
TEST(PosixProcessRunnerTest, OutputAndStatusComeWholeSignalsEndChildrenAndNoneIsLeftAZombie) {
    SdEventRunLoop loop;
    PosixProcessRunner runner;
    auto result =
        bash(runner, "x=1; for word in '/tmp/Ampwarden Helper' \"$x\"y; do echo \"[$word]\"; done");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->output, "[/tmp/Ampwarden Helper]\n[1y]\n");
    EXPECT_EQ(result->status, 0);
    auto large = bash(runner, "head -c 8388608 /dev/zero | tr '\\0' x; exit 3");  // drained first
    ASSERT_TRUE(large);
    EXPECT_EQ(large->output.size(), 8388608u);
    EXPECT_EQ(large->output.find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(large->status, 3);
    auto killed = bash(runner, "kill -TERM $$; echo survived");
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->status, 128 + SIGTERM);
    EXPECT_EQ(killed->output, "");
    for (const auto& missing :
         {std::vector<std::string>{"/nonexistent/program"}, {"ampwarden-no-such-program"}, {}}) {
        EXPECT_FALSE(runner.run(missing));
    }
    EXPECT_EQ(runner.start({"/nonexistent/program"}), nullptr);

    auto sleeper = runner.start({"sleep", "30"});
    ASSERT_NE(sleeper, nullptr);
    EXPECT_TRUE(sleeper->running());
    sleeper->terminate();
    EXPECT_FALSE(sleeper->running());
    EXPECT_EQ(sleeper->wait(), 128 + SIGTERM);
    auto quick = runner.start({"/bin/bash", "-c", "exit 5"});
    ASSERT_NE(quick, nullptr);
    EXPECT_EQ(quick->wait(), 5);
    quick->terminate();  // already reaped: must not signal a recycled pid or block
    EXPECT_EQ(quick->wait(), 5);

    runner.start({"/bin/bash", "-c", "exit 0"}).reset();
    bool childrenLeft = true;
    for (int i = 0; i < 1000 && childrenLeft; ++i) {
        ASSERT_TRUE(runner.run({"/bin/true"}));
        siginfo_t info{};
        // Only looks: reaping it here would hide the fault.
        childrenLeft = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
    }
    EXPECT_FALSE(childrenLeft);
}

}  // namespace
}  // namespace ampwarden
