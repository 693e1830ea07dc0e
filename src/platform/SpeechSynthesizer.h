#pragma once

#include <string>

namespace ampwarden {

// Text to speech. Voices are named by their platform identifiers.
class SpeechSynthesizer {
  public:
    virtual ~SpeechSynthesizer() = default;
    // Starts speaking and returns while the speech goes on.
    virtual void startSpeaking(const std::string& text, const std::string& voice) = 0;
    // Cuts off whatever is being spoken; nothing when silent.
    virtual void stopSpeaking() = 0;
    // Speaks and returns once the utterance has ended.
    virtual void speakAndWait(const std::string& text, const std::string& voice) = 0;
};

}  // namespace ampwarden
