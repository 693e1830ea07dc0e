#include "charge/ZTSpeechManager.h"

namespace ampwarden {

void ZTSpeechManager::speakText(const std::string& text) {
    stopSpeech();
    synthesizer_.startSpeaking(text, kVoice);
}

void ZTSpeechManager::stopSpeech() { synthesizer_.stopSpeaking(); }

// The blocking variant asks for the same voice: the helper's texts are Chinese, and espeak-ng's
// default voice, unlike a desktop's, does not follow the user's language.
void ZTSpeechManager::sayText(const std::string& text) { synthesizer_.speakAndWait(text, kVoice); }

}  // namespace ampwarden
