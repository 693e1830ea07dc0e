#pragma once

#include <string>

#include "platform/SpeechSynthesizer.h"

namespace ampwarden {

// Speaks texts aloud through the synthesizer it is given, always with the Mandarin voice.
// Nothing is reported: a synthesizer that cannot speak leaves at most one line in the system
// log. Runs on the main loop like the rest of the helper; `synthesizer` must outlive it.
class ZTSpeechManager {
  public:
    explicit ZTSpeechManager(SpeechSynthesizer& synthesizer) : synthesizer_(synthesizer) {}

    // Cuts off what is still being spoken, starts speaking `text` and returns at once.
    void speakText(const std::string& text);
    // Cuts off what is being spoken; nothing when silent.
    void stopSpeech();
    // Speaks `text` and returns once the utterance has ended: blocks the caller meanwhile.
    void sayText(const std::string& text);

    // The voice every utterance asks for.
    static constexpr const char* kVoice = "com.apple.speech.synthesis.voice.meijia";

  private:
    SpeechSynthesizer& synthesizer_;
};

}  // namespace ampwarden
