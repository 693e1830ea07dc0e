#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "charge/ZTSpeechManager.h"
#include "fake/FakePlatform.h"
#include "platform/linux/EspeakSpeechSynthesizer.h"

namespace ampwarden::test {
namespace {

using Argv = std::vector<std::string>;

// The fake platform with the real espeak-ng synthesizer on top of its recording process runner,
// so the tests see the programs that speech starts, stops and waits for.
class EspeakPlatform : public FakePlatform {
  public:
    SpeechSynthesizer& speech() override { return espeak; }
    EspeakSpeechSynthesizer espeak{processRunner, log};
};

Argv espeak(const std::string& text) { return {"espeak-ng", "-v", "cmn", "--", text}; }

TEST(ZTSpeechManager, ANewUtteranceCutsOffTheLastAndAMissingEspeakHarmsNothing) {
    InstalledPlatform<EspeakPlatform> platform;
    ZTSpeechManager::stopSpeech();  // nothing is speaking yet
    EXPECT_TRUE(platform.processRunner.started.empty());

    ZTSpeechManager::speakText("充电已停止");
    ZTSpeechManager::speakText("-5%");
    const auto& started = platform.processRunner.started;
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0]->argv, espeak("充电已停止"));
    EXPECT_TRUE(started[0]->terminated);
    EXPECT_EQ(started[1]->argv, espeak("-5%"));
    EXPECT_FALSE(started[1]->terminated || started[1]->waited);

    ZTSpeechManager::stopSpeech();
    EXPECT_TRUE(started[1]->terminated);
    EXPECT_TRUE(platform.log.systemLines().empty());

    ZTSpeechManager::sayText("");  // blocks until the utterance has ended
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started[2]->argv, espeak(""));
    EXPECT_TRUE(started[2]->waited);

    platform.processRunner.startSucceeds = false;  // espeak-ng is missing: logged once
    ZTSpeechManager::speakText("a");
    ZTSpeechManager::sayText("b");
    ZTSpeechManager::stopSpeech();
    ZTSpeechManager::speakText("c");
    EXPECT_EQ(platform.log.systemLines().size(), 1u);
}

}  // namespace
}  // namespace ampwarden::test
