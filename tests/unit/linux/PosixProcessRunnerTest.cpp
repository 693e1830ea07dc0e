#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "platform/linux/PosixProcessRunner.h"
#include "platform/linux/SdEventRunLoop.h"

namespace ampwarden {
namespace {

std::optional<ProcessResult> bash(PosixProcessRunner& runner, const std::string& line) {
    return runner.run({"/bin/bash", "-c", line});
}

TEST(PosixProcessRunnerTest, TheLineReachesBashUnchangedSilenceIsEmptyAndMissingProgramsNone) {
    PosixProcessRunner runner;
    auto result =
        bash(runner, "x=1; for word in '/tmp/Ampwarden Helper' \"$x\"y; do echo \"[$word]\"; done");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->output, "[/tmp/Ampwarden Helper]\n[1y]\n");
    EXPECT_EQ(result->status, 0);

    auto silent = bash(runner, "exit 42");
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->output, "");
    EXPECT_EQ(silent->status, 42);

    EXPECT_FALSE(runner.run({"/nonexistent/program"}));
    EXPECT_FALSE(runner.run({"ampwarden-no-such-program"}));
    EXPECT_FALSE(runner.run({}));
    EXPECT_EQ(runner.start({"/nonexistent/program"}), nullptr);
}

TEST(PosixProcessRunnerTest, LargeOutputIsDrainedBeforeTheWait) {
    PosixProcessRunner runner;
    auto result = bash(runner, "head -c 8388608 /dev/zero | tr '\\0' x; exit 3");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->output.size(), 8388608u);
    EXPECT_EQ(result->output.find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(result->status, 3);
}

// The main loop blocks SIGTERM for itself; children must not inherit that.
TEST(PosixProcessRunnerTest, ChildrenDieOfSignalsEvenWhileTheLoopBlocksThem) {
    SdEventRunLoop loop;
    PosixProcessRunner runner;
    auto result = bash(runner, "kill -TERM $$; echo survived");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 128 + SIGTERM);
    EXPECT_EQ(result->output, "");

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
}

// Dropping a handle must not leave a zombie behind for the life of the helper.
TEST(PosixProcessRunnerTest, ADroppedChildIsReapedByALaterRun) {
    PosixProcessRunner runner;
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
