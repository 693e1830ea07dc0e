// ampwarden-smc: reads, writes and lists SMC keys and drives fans, through the SMC class.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "BuildInfo.h"
#include "CommandLine.h"
#include "ProbeCommand.h"
#include "SmcTool.h"
#include "ToolPlatform.h"
#include "smc/SMC.h"

using namespace ampwarden;
using namespace ampwarden::smctool;

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string error;
    const auto command = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!command) {
        std::fprintf(stderr, "ampwarden-smc: %s\nTry ampwarden-smc --help.\n", error.c_str());
        return kExitUsage;
    }
    if (command->verb == Verb::version) {
        std::printf("ampwarden-smc %s (build %s)\n", build::kShortVersion, build::kBuildNumber);
        return kExitOk;
    }
    SmcBackendChoice::Setup setup = SmcBackendChoice::Setup::asTheService();
    if (!SmcBackendChoice::knownSetting(setup.setting)) {
        std::fprintf(stderr,
                     "ampwarden-smc: unknown AMPWARDEN_SMC_BACKEND \"%s\" (auto, emulator, "
                     "kernel or port-io)\n",
                     setup.setting.c_str());
        return kExitUsage;
    }
    if (command->verb == Verb::probe) {
        SmcBackendChoice choice(std::move(setup));
        return printProbe(choice.probeAll());
    }
    ToolPlatform platform;
    // Lives on past main(): ending the process closes the socket.
    static auto* smc = new SMC(platform.smc(), platform.diagnostics());
    return SmcTool(*smc, platform.smc(), platform.noDeviceReason()).run(*command);
}
