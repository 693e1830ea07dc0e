#pragma once

#include <string>

namespace ampwarden {

// The four command lines that remove the helper's installation, built from the directories
// the build installs into. AMPWARDEN_UNINSTALL_ROOT (tests and demos only) points them at a
// scratch root: every path is prefixed with it and systemctl works offline on that root.
struct UninstallCommands {
    std::string listService;     // prints a line naming the service when it is registered
    std::string removeProgram;   // removes every installed item but the unit file
    std::string disableService;  // deregisters the service without stopping the running helper
    std::string removeUnitFile;  // removes the service definition

    static UninstallCommands forInstallation();
    static UninstallCommands forRoot(const std::string& root);
};

// `text` as one bash word, inside single quotes.
std::string shellQuote(const std::string& text);

}  // namespace ampwarden
