#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    std::ifstream file(wavPath, std::ios::binary);
    const std::string wav{std::istreambuf_iterator<char>(file), {}};
    std::filesystem::remove(wavPath);

    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
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
