#pragma once

#include <string>

#include "channel/CommandGate.h"
#include "platform/NotificationChannel.h"

namespace ampwarden {

// The helper's ways onto the two system-wide channels: every command it observes comes through
// addDarwinObserver; code with a channel of its own posts answers on it, the maintenance
// operations through postDistributedNotification. Both run on the main loop.

// Observes one command name on `channel`; the callback receives the name that arrived. Every
// command goes through `gate`: in arrival order, and, unless `access` says it only reads, once
// its sender is authorised. The gate must outlive the channel's observations.
void addDarwinObserver(NotificationChannel& channel, CommandGate& gate, const std::string& name,
                       DarwinCallback callback, CommandAccess access = CommandAccess::Control);
// The same for a callback that also needs to know who sent the command.
void addSenderObserver(NotificationChannel& channel, CommandGate& gate, const std::string& name,
                       CommandCallback callback, CommandAccess access);

// Posts one answer to every session, on the installed platform's channel.
void postDistributedNotification(const std::string& name, const NotificationDictionary& dictionary);

// The dictionary as one log-friendly line, keys in order: {key = value; ...;}. Strings are
// quoted, numbers plain.
std::string describeDictionary(const NotificationDictionary& dictionary);

}  // namespace ampwarden
