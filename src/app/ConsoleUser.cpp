#include "app/ConsoleUser.h"

namespace ampwarden {

std::optional<std::string> currentConsoleUser(LoginManager& login) {
    auto user = login.consoleUser();
    if (user && *user == "loginWindow") return std::nullopt;
    return user;
}

}  // namespace ampwarden
