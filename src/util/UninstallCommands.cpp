#include "util/UninstallCommands.h"

#include <cstdlib>

#include "BuildInfo.h"

namespace ampwarden {

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

UninstallCommands UninstallCommands::forInstallation() {
    const char* root = std::getenv("AMPWARDEN_UNINSTALL_ROOT");
    return forRoot(root != nullptr ? root : "");
}

UninstallCommands UninstallCommands::forRoot(const std::string& root) {
    const std::string service = build::kServiceName;
    const std::string systemctl =
        root.empty() ? "systemctl" : "systemctl --root=" + shellQuote(root);
    UninstallCommands commands;
    // Offline, only unit files can be listed; on a live system, the loaded units.
    commands.listService = root.empty() ? "systemctl list-units --all --plain --no-legend"
                                        : systemctl + " list-unit-files --plain --no-legend";
    commands.listService += " | grep lumora.Ampwarden";
    commands.removeProgram = "rm -rf " + shellQuote(root + build::kHelperDir);
    commands.disableService = systemctl + " disable " + service;
    commands.removeUnitFile = "rm -f " + shellQuote(root + build::kUnitDir + "/" + service);
    return commands;
}

}  // namespace ampwarden
