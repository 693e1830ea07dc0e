#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "charge/ZTSpeechManager.h"
#include "platform/linux/EspeakSpeechSynthesizer.h"
#include "platform/linux/PosixProcessRunner.h"

namespace ampwarden {
namespace {

// A real utterance, with the command line and voice the helper uses, written to a WAV file
// instead of the sound card. espeak-ng refuses a voice it does not have with status 1.
TEST(EspeakRealSpeech, TheMandarinVoiceSpeaksAChineseText) {
    PosixProcessRunner runner;
    if (!runner.run({"espeak-ng", "--version"})) GTEST_SKIP() << "espeak-ng is not installed";
    const auto wavPath = std::filesystem::temp_directory_path() /
                         ("ampwarden-speech-" + std::to_string(getpid()) + ".wav");

    auto argv = EspeakSpeechSynthesizer::commandLine("充电已停止", ZTSpeechManager::kVoice);
    argv.insert(argv.begin() + 1, {"-w", wavPath.string()});
    const auto result = runner.run(argv);
    std::error_code noFile;
    const auto size = std::filesystem::file_size(wavPath, noFile);
    std::filesystem::remove(wavPath);

    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
    // A 44-byte header, then 16-bit mono samples at 22050 Hz: five syllables are well over
    // half a second.
    EXPECT_FALSE(noFile);
    EXPECT_GT(size, 44u + 2 * 22050 / 2);
}

}  // namespace
}  // namespace ampwarden
