#pragma once

#include "platform/linux/SmcBackendChoice.h"

namespace ampwarden::smctool {

// Prints what `ampwarden-smc probe` tells: every SMC backend, usable here or why not, what it
// uses and which charge keys it backs, what "auto" and the setting pick. Returns the exit
// status: 0 when one is usable.
int printProbe(const SmcBackendChoice::Report& report);

}  // namespace ampwarden::smctool
