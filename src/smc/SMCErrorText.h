#pragma once

#include <string>

#include "platform/SmcService.h"

namespace ampwarden {

// The text every SMC failure line ends with: the platform's text for the code when it is
// plain ASCII, else "unknown error".
std::string smcErrorText(kern_return_t code);

// The same failure in the words of a Linux user ("no such key", "the key is read-only"), for
// our own messages; the system's fixed log lines keep smcErrorText. A code without words of
// its own gets smcErrorText.
std::string smcErrorWords(kern_return_t code);

}  // namespace ampwarden
