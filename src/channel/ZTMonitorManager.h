#pragma once

#include "platform/Diagnostics.h"
#include "platform/LoginManager.h"
#include "platform/MachineFacts.h"

namespace ampwarden {

// Answers whether this machine is a laptop with its lid closed. No state; asked afresh at
// every display change and discharge command.
class ZTMonitorManager {
  public:
    // True only for a model name containing "MacBook" (case-sensitive, anywhere) whose lid
    // `login` reports closed; an unknown lid state counts as open. Writes the model name's
    // length in bytes to the system log on every call.
    static bool lidClosed(MachineFacts& machine, LoginManager& login, Diagnostics& log);
};

}  // namespace ampwarden
