#pragma once

#include <optional>
#include <string>

#include "platform/LoginManager.h"

namespace ampwarden {

// The user logged in at the console, as `login` reports it, or none. A login screen
// ("loginWindow", compared exactly and case-sensitively) counts as nobody.
std::optional<std::string> currentConsoleUser(LoginManager& login);

}  // namespace ampwarden
