#include "util/ZTShellExcuteManager.h"

namespace ampwarden {

std::optional<ProcessResult> ZTShellExcuteManager::runThroughBash(const std::string& commandLine) {
    return processes_.run({"/bin/bash", "-c", commandLine});
}

namespace {

// Number of continuation bytes a lead byte announces, or -1 when it cannot start a sequence.
int continuationCount(unsigned char lead) {
    if (lead < 0x80) return 0;
    if (lead >= 0xC2 && lead <= 0xDF) return 1;
    if (lead >= 0xE0 && lead <= 0xEF) return 2;
    if (lead >= 0xF0 && lead <= 0xF4) return 3;
    return -1;
}

// The allowed range of the byte after the lead, which rules out overlongs, surrogates and
// code points past U+10FFFF.
bool secondByteAllowed(unsigned char lead, unsigned char second) {
    if (lead == 0xE0) return second >= 0xA0 && second <= 0xBF;
    if (lead == 0xED) return second >= 0x80 && second <= 0x9F;
    if (lead == 0xF0) return second >= 0x90 && second <= 0xBF;
    if (lead == 0xF4) return second >= 0x80 && second <= 0x8F;
    return second >= 0x80 && second <= 0xBF;
}

}  // namespace

bool isValidUtf8(const std::string& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const int count = continuationCount(lead);
        if (count < 0 || bytes.size() - i <= static_cast<std::size_t>(count)) return false;
        const auto extra = static_cast<std::size_t>(count);
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            const bool ok = k == 1 ? secondByteAllowed(lead, next) : next >= 0x80 && next <= 0xBF;
            if (!ok) return false;
        }
        i += extra + 1;
    }
    return true;
}

std::optional<std::string> ZTShellExcuteManager::excuteCmd(const std::string& commandLine) {
    auto result = runThroughBash(commandLine);
    if (!result || !isValidUtf8(result->output)) return std::nullopt;
    return std::move(result->output);
}

std::int32_t ZTShellExcuteManager::excuteRMCmd(const std::string& commandLine) {
    auto result = runThroughBash(commandLine);
    if (!result) return kLaunchFailedStatus;
    return result->status;
}

}  // namespace ampwarden
