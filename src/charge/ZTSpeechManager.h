#pragma once

#include <string>

namespace ampwarden {

// Speaks texts aloud through the platform's speech synthesizer, always with the Mandarin voice.
// Class operations only; the synthesizer itself is the platform's one per process. Nothing is
// reported: a synthesizer that cannot speak leaves at most one line in the system log.
// Runs on the main loop like the rest of the helper.
class ZTSpeechManager {
  public:
    // Cuts off what is still being spoken, starts speaking `text` and returns at once.
    static void speakText(const std::string& text);
    // Cuts off what is being spoken; nothing when silent.
    static void stopSpeech();
    // Speaks `text` and returns once the utterance has ended: blocks the caller meanwhile.
    static void sayText(const std::string& text);

    // The voice every utterance asks for.
    static constexpr const char* kVoice = "com.apple.speech.synthesis.voice.meijia";
};

}  // namespace ampwarden
