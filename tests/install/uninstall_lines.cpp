// Test-only: prints the helper's four uninstall command lines for the scratch root given as the
// only argument, one per line, in the order the helper runs them. The install test runs them
// against a scratch installation.
#include <iostream>

#include "util/UninstallCommands.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: ampwarden-uninstall-lines ROOT\n";
        return 2;
    }
    const auto commands = ampwarden::UninstallCommands::forRoot(argv[1]);
    std::cout << commands.listService << '\n'
              << commands.removeProgram << '\n'
              << commands.disableService << '\n'
              << commands.removeUnitFile << '\n';
    return 0;
}
