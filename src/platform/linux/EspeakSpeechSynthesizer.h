#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/ProcessRunner.h"
#include "platform/SpeechSynthesizer.h"

namespace ampwarden {

// Speech through the espeak-ng command. At most one utterance runs at a time; a new one cuts
// off the last. Without espeak-ng nothing is spoken and that is logged once.
class EspeakSpeechSynthesizer : public SpeechSynthesizer {
  public:
    EspeakSpeechSynthesizer(ProcessRunner& processes, Diagnostics& log);
    ~EspeakSpeechSynthesizer() override;

    void startSpeaking(const std::string& text, const std::string& voice) override;
    void stopSpeaking() override;
    void speakAndWait(const std::string& text, const std::string& voice) override;

    // The espeak-ng command line for one utterance.
    static std::vector<std::string> commandLine(const std::string& text, const std::string& voice);

  private:
    void noteMissing();

    ProcessRunner& processes_;
    Diagnostics& log_;
    std::unique_ptr<ChildProcess> speaking_;
    bool loggedMissing_ = false;
};

}  // namespace ampwarden
