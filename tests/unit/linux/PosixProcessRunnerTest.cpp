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

// A real utterance, with the command line and voice the helper uses, as a WAV on standard
// output instead of the sound card. espeak-ng refuses a voice it does not have with status 1;
// an empty or unspoken text leaves little more than the 44-byte header, where five syllables
// at 22050 16-bit samples a second are well over half a second.
TEST(EspeakRealSpeech, TheMandarinVoiceSpeaksAChineseText) {
    PosixProcessRunner runner;
    if (!runner.run({"espeak-ng", "--version"})) GTEST_SKIP() << "espeak-ng is not installed";
    auto argv = EspeakSpeechSynthesizer::commandLine("充电已停止", ZTSpeechManager::kVoice);
    argv.insert(argv.begin() + 1, "--stdout");
    const auto result = runner.run(argv);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
    EXPECT_GT(result->output.size(), 44u + 2 * 22050 / 2);
}

}  // namespace
}  // namespace ampwarden
