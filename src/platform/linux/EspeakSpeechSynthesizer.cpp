#include "platform/linux/EspeakSpeechSynthesizer.h"

namespace ampwarden {

namespace {
constexpr const char* kMeijiaVoice = "com.apple.speech.synthesis.voice.meijia";
constexpr const char* kMandarinVoice = "cmn";
}  // namespace

EspeakSpeechSynthesizer::EspeakSpeechSynthesizer(ProcessRunner& processes, Diagnostics& log)
    : processes_(processes), log_(log) {}

EspeakSpeechSynthesizer::~EspeakSpeechSynthesizer() = default;

std::vector<std::string> EspeakSpeechSynthesizer::commandLine(const std::string& text,
                                                              const std::string& voice) {
    const std::string espeakVoice = voice == kMeijiaVoice ? kMandarinVoice : voice;
    // "--" keeps a text that starts with a dash from being read as an option.
    return {"espeak-ng", "-v", espeakVoice, "--", text};
}

void EspeakSpeechSynthesizer::startSpeaking(const std::string& text, const std::string& voice) {
    stopSpeaking();
    speaking_ = processes_.start(commandLine(text, voice));
    if (!speaking_) noteMissing();
}

void EspeakSpeechSynthesizer::stopSpeaking() {
    if (speaking_) speaking_->terminate();
    speaking_.reset();
}

void EspeakSpeechSynthesizer::speakAndWait(const std::string& text, const std::string& voice) {
    auto child = processes_.start(commandLine(text, voice));
    if (!child) {
        noteMissing();
        return;
    }
    child->wait();
}

void EspeakSpeechSynthesizer::noteMissing() {
    if (loggedMissing_) return;
    loggedMissing_ = true;
    log_.systemLog("Ampwarden: cannot start espeak-ng; speech is off");
}

}  // namespace ampwarden
