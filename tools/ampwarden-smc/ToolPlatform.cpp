#include "ToolPlatform.h"

#include <cstdio>

#include "platform/linux/EmulatorSmcService.h"

namespace ampwarden::smctool {

SmcService& ToolPlatform::smc() {
    if (!smc_) {
        SmcBackendChoice choice(SmcBackendChoice::Setup::asTheService());
        report_ = choice.choose();
        linux_.diagnostics().systemLog(report_.line());
        smc_ = choice.takeService();
    }
    return *smc_;
}

std::string ToolPlatform::noDeviceReason() {
    smc();
    if (report_.chosen == SmcBackendChoice::kEmulator) {
        return "no SMC device at " + report_.backends[0].uses.at(0) +
               " (is ampwarden-smc-emulator running?)";
    }
    if (!report_.chosen.empty()) return "the SMC (" + report_.chosen + ") cannot be opened";
    return "no SMC device: " + report_.line() + " (ampwarden-smc probe tells more)";
}

void ToolPlatform::StderrDiagnostics::systemLog(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

void ToolPlatform::StderrDiagnostics::standardOutput(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace ampwarden::smctool
