#pragma once

#include <string>

#include "platform/SmcService.h"

namespace ampwarden {

// The text every SMC failure line ends with: the platform's text for the code when it is
// plain ASCII, else "unknown error".
std::string smcErrorText(kern_return_t code);

}  // namespace ampwarden
