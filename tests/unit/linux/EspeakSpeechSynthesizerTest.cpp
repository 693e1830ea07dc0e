#include <gtest/gtest.h>

#include "fake/FakeDiagnostics.h"
#include "fake/FakeProcessRunner.h"
#include "platform/linux/EspeakSpeechSynthesizer.h"

namespace ampwarden {
namespace {

using Argv = std::vector<std::string>;
constexpr const char* kMeijia = "com.apple.speech.synthesis.voice.meijia";

TEST(EspeakSpeechSynthesizerTest, ANewUtteranceCutsOffTheLastOne) {
    test::FakeProcessRunner runner;
    test::FakeDiagnostics log;
    EspeakSpeechSynthesizer speech(runner, log);

    speech.stopSpeaking();  // nothing to stop yet
    speech.startSpeaking("充电已停止", kMeijia);
    speech.startSpeaking("-5%", "en");
    ASSERT_EQ(runner.started.size(), 2u);
    EXPECT_EQ(runner.started[0]->argv, (Argv{"espeak-ng", "-v", "cmn", "--", "充电已停止"}));
    EXPECT_TRUE(runner.started[0]->terminated);
    EXPECT_EQ(runner.started[1]->argv, (Argv{"espeak-ng", "-v", "en", "--", "-5%"}));
    EXPECT_FALSE(runner.started[1]->terminated);

    speech.stopSpeaking();
    EXPECT_TRUE(runner.started[1]->terminated);
}

TEST(EspeakSpeechSynthesizerTest, BlockingSpeechWaitsAndAMissingCommandIsLoggedOnce) {
    test::FakeProcessRunner runner;
    test::FakeDiagnostics log;
    EspeakSpeechSynthesizer speech(runner, log);

    speech.speakAndWait("", kMeijia);
    ASSERT_EQ(runner.started.size(), 1u);
    EXPECT_EQ(runner.started[0]->argv, (Argv{"espeak-ng", "-v", "cmn", "--", ""}));
    EXPECT_TRUE(runner.started[0]->waited);

    runner.startSucceeds = false;
    speech.startSpeaking("a", kMeijia);
    speech.speakAndWait("b", kMeijia);
    speech.stopSpeaking();
    EXPECT_EQ(log.systemLines().size(), 1u);
}

}  // namespace
}  // namespace ampwarden
