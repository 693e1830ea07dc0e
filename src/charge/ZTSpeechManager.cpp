#include "charge/ZTSpeechManager.h"

#include "platform/Platform.h"

namespace ampwarden {

namespace {
SpeechSynthesizer& synthesizer() { return Platform::current().speech(); }
}  // namespace

void ZTSpeechManager::speakText(const std::string& text) {
    stopSpeech();
    synthesizer().startSpeaking(text, kVoice);
}

void ZTSpeechManager::stopSpeech() { synthesizer().stopSpeaking(); }

// The blocking variant asks for the same voice: the helper's texts are Chinese, and espeak-ng's
// default voice, unlike a desktop's, does not follow the user's language.
void ZTSpeechManager::sayText(const std::string& text) { synthesizer().speakAndWait(text, kVoice); }

}  // namespace ampwarden
