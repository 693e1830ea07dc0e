#include <gtest/gtest.h>
#include <unistd.h>

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
// instead of the sound card.
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
    // espeak-ng writes a plain 44-byte header, then 16-bit mono samples at 22050 Hz.
    ASSERT_GT(wav.size(), 44u);
    ASSERT_EQ(wav.substr(0, 4) + wav.substr(8, 4), "RIFFWAVE");
    int loud = 0;
    for (std::size_t i = 44; i + 1 < wav.size(); i += 2) {
        const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(wav[i]) |
                                                      static_cast<unsigned char>(wav[i + 1]) << 8);
        loud += std::abs(sample) > 1000;
    }
    // Five syllables: well over a tenth of a second of clearly audible sound.
    EXPECT_GT(loud, 2205);
}

}  // namespace
}  // namespace ampwarden
