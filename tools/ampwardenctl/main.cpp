// ampwardenctl: the battery app's side of the helper's command channel, for people and tests.
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "ampwardenctl/AnswerFormat.h"
#include "ampwardenctl/ClientBus.h"
#include "ampwardenctl/CommandLine.h"
#include "ampwardenctl/Runner.h"

using namespace ampwarden::ctl;

int main(int argc, char** argv) {
    // Not a verb: the protocol table, for the end-to-end tests.
    if (argc == 2 && std::string(argv[1]) == "--protocol-json") {
        std::fputs(formatProtocolJson().c_str(), stdout);
        return kExitOk;
    }
    ParsedCommandLine parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (auto* help = std::get_if<HelpText>(&parsed)) {
        std::fputs(help->text.c_str(), stdout);
        return kExitOk;
    }
    if (auto* usage = std::get_if<UsageError>(&parsed)) {
        std::fprintf(stderr, "%s\n", usage->message.c_str());
        return kExitUsage;
    }
    const Invocation& invocation = std::get<Invocation>(parsed);
    if (invocation.mode == Mode::FullCharge || invocation.mode == Mode::AppChange) {
        return runAppRequest(invocation);
    }
    // The running app keeps the limit it is given; without one, the helper sets it once.
    if (invocation.appChange) {
        if (auto status = askApp(invocation)) return *status;
    }
    if (invocation.mode == Mode::App) {
        BatterySettings settings;
        if (auto problem = resolveAppSettings(invocation, settings)) {
            std::fprintf(stderr, "ampwardenctl: %s\n", problem->message.c_str());
            return problem->exitStatus;
        }
        return runBatteryApp(invocation, settings);
    }
    std::string error;
    auto bus = ClientBus::connect(error);
    if (!bus) {
        std::fprintf(stderr, "ampwardenctl: %s\n", error.c_str());
        return kExitFailed;
    }
    return runInvocation(*bus, invocation);
}
