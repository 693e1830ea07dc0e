#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "charge/ZTSpeechManager.h"
#include "platform/linux/EspeakSpeechSynthesizer.h"
#include "platform/linux/PosixProcessRunner.h"
#include "platform/linux/SdEventRunLoop.h"

namespace ampwarden {
namespace {

std::optional<ProcessResult> bash(PosixProcessRunner& runner, const std::string& line) {
    return runner.run({"/bin/bash", "-c", line});
}

TEST(PosixProcessRunnerTest, TheLineReachesBashUnchangedOutputIsWholeAndMissingProgramsNone) {
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

    // Large output is drained before the wait.
    auto large = bash(runner, "head -c 8388608 /dev/zero | tr '\\0' x; exit 3");
    ASSERT_TRUE(large);
    EXPECT_EQ(large->output.size(), 8388608u);
    EXPECT_EQ(large->output.find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(large->status, 3);
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

// A real utterance, with the command line and voice the helper uses, as a WAV on standard
// output instead of the sound card. espeak-ng refuses a voice it does not have with status 1.
TEST(EspeakRealSpeech, TheMandarinVoiceSpeaksAChineseText) {
    PosixProcessRunner runner;
    if (!runner.run({"espeak-ng", "--version"})) GTEST_SKIP() << "espeak-ng is not installed";
    auto argv = EspeakSpeechSynthesizer::commandLine("充电已停止", ZTSpeechManager::kVoice);
    argv.insert(argv.begin() + 1, "--stdout");
    const auto result = runner.run(argv);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
    const std::string& wav = result->output;
    // A 44-byte header, then 16-bit little-endian mono samples at 22050 Hz: five syllables are
    // well over half a second, and speech reaches far above the noise floor.
    ASSERT_GT(wav.size(), 44u + 2 * 22050 / 2);
    int peak = 0;
    for (std::size_t i = 44; i + 1 < wav.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(static_cast<std::uint8_t>(wav[i]) |
                                                      static_cast<std::uint8_t>(wav[i + 1]) << 8);
        peak = std::max(peak, std::abs(static_cast<int>(sample)));
    }
    EXPECT_GT(peak, 1000) << "the utterance is silent";
}

}  // namespace
}  // namespace ampwarden
