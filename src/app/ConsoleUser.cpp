#include "app/ConsoleUser.h"

#include "platform/Platform.h"

namespace ampwarden {

std::optional<std::string> currentConsoleUser() {
    auto user = Platform::current().loginManager().consoleUser();
    if (user && *user == "loginWindow") return std::nullopt;
    return user;
}

}  // namespace ampwarden
