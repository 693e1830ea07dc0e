#include "ProbeCommand.h"

#include <cstdio>

#include "CommandLine.h"

namespace ampwarden::smctool {

namespace {

std::string words(const std::vector<std::string>& list, const char* none) {
    std::string text;
    for (const std::string& word : list) text += (text.empty() ? "" : " ") + word;
    return text.empty() ? none : text;
}

std::string orNone(const std::string& name) { return name.empty() ? "none" : name; }

}  // namespace

int printProbe(const SmcBackendChoice::Report& report) {
    for (const auto& backend : report.backends) {
        std::printf("%s: %s\n", backend.name.c_str(),
                    backend.usable ? "usable" : ("not usable: " + backend.why).c_str());
        if (!backend.uses.empty()) std::printf("  uses: %s\n", words(backend.uses, "").c_str());
        if (backend.usable) {
            std::printf("  charge keys: %s\n", words(backend.chargeKeys, "none").c_str());
            if (!backend.note.empty()) std::printf("  but: %s\n", backend.note.c_str());
        }
    }
    std::printf("auto picks: %s\n", orNone(report.autoPick).c_str());
    std::printf("AMPWARDEN_SMC_BACKEND=%s picks: %s\n", report.setting.c_str(),
                orNone(report.chosen).c_str());
    return report.anyUsable() ? kExitOk : kExitFailed;
}

}  // namespace ampwarden::smctool
