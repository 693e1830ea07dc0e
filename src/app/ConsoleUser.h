#pragma once

#include <optional>
#include <string>

namespace ampwarden {

// The user logged in at the console, or none. A login screen ("loginWindow", compared
// exactly and case-sensitively) counts as nobody.
std::optional<std::string> currentConsoleUser();

}  // namespace ampwarden
