#pragma once

#include <string>

#include "channel/CommandGate.h"
#include "platform/NotificationChannel.h"

namespace ampwarden {

// The helper's way onto the command channel: every command it observes comes through
// addDarwinObserver (answers go out on the channel itself). Runs on the main loop.

// Observes one command name on `channel`; the callback receives the name that arrived. Every
// command goes through `gate`: in arrival order, and, unless `access` says it only reads, once
// its sender is authorised. The gate must outlive the channel's observations.
void addDarwinObserver(NotificationChannel& channel, CommandGate& gate, const std::string& name,
                       DarwinCallback callback, CommandAccess access = CommandAccess::Control);
// The same for a callback that also needs to know who sent the command.
void addSenderObserver(NotificationChannel& channel, CommandGate& gate, const std::string& name,
                       CommandCallback callback, CommandAccess access);

}  // namespace ampwarden
