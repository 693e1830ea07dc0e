#include "util/UninstallCommands.h"

#include <cstdlib>
#include <filesystem>

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

namespace {

// Removes the helper's folder, the programs in bin/, the bus policy, the polkit actions and the
// battery app's user unit (never enabled by the package, so there is nothing to deregister);
// then the vendor folder that held the helper's folder, once nothing else of the vendor's is in
// it. The status is that of the removal.
std::string removeProgramLine(const std::string& root) {
    std::string line = "rm -rf " + shellQuote(root + build::kHelperDir);
    for (const char* program : build::kToolPrograms) {
        line += " " + shellQuote(root + build::kBinDir + "/" + program);
    }
    line += " " + shellQuote(root + build::kDbusPolicyDir + "/" + build::kDbusPolicyName);
    line += " " + shellQuote(root + build::kPolkitActionsDir + "/" + build::kPolkitPolicyName);
    line += " " + shellQuote(root + build::kUserUnitDir + "/" + build::kUserServiceName);
    const auto vendorDir = std::filesystem::path(build::kHelperDir).parent_path().string();
    return line + " && { rmdir " + shellQuote(root + vendorDir) + " 2>/dev/null || true; }";
}

}  // namespace

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
    commands.removeProgram = removeProgramLine(root);
    commands.disableService = systemctl + " disable " + service;
    commands.removeUnitFile = "rm -f " + shellQuote(root + build::kUnitDir + "/" + service);
    return commands;
}

}  // namespace ampwarden
