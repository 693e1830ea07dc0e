#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "charge/ZTSpeechManager.h"
#include "platform/linux/EspeakSpeechSynthesizer.h"
#include "platform/linux/PosixProcessRunner.h"

namespace ampwarden {
namespace {

std::uint32_t little32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The 16-bit samples of a canonical PCM WAV file; none when it is not one.
std::optional<std::vector<std::int16_t>> pcmSamples(const std::string& wav) {
    if (wav.size() < 12 || wav.compare(0, 4, "RIFF") != 0 || wav.compare(8, 4, "WAVE") != 0) {
        return std::nullopt;
    }
    for (std::size_t at = 12; at + 8 <= wav.size();) {
        const std::uint32_t size = little32(wav, at + 4);
        if (wav.compare(at, 4, "data") == 0) {
            const std::size_t end = std::min<std::size_t>(wav.size(), at + 8 + size);
            std::vector<std::int16_t> samples;
            for (std::size_t i = at + 8; i + 1 < end; i += 2) {
                samples.push_back(
                    static_cast<std::int16_t>(static_cast<unsigned char>(wav[i]) |
                                              static_cast<unsigned char>(wav[i + 1]) << 8));
            }
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

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
    const auto samples = pcmSamples(wav);
    ASSERT_TRUE(samples) << "not a PCM WAV file: " << wav.size() << " bytes";
    int loud = 0;
    for (std::int16_t sample : *samples) loud += std::abs(sample) > 1000;
    // Five syllables at 22 kHz: well over a tenth of a second of clearly audible sound.
    EXPECT_GT(loud, 2205) << samples->size() << " samples";
}

}  // namespace
}  // namespace ampwarden
