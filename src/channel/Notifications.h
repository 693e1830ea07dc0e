#pragma once

#include <string>

#include "platform/NotificationChannel.h"

namespace ampwarden {

// The helper's only ways onto the two system-wide channels. Both run on the main loop.

// Observes one command name; the callback receives the name that arrived.
void addDarwinObserver(const std::string& name, DarwinCallback callback);

// Posts one answer to every session.
void postDistributedNotification(const std::string& name, const NotificationDictionary& dictionary);

// The dictionary as one log-friendly line, keys in order: {key = value; ...;}. Strings are
// quoted, numbers plain.
std::string describeDictionary(const NotificationDictionary& dictionary);

}  // namespace ampwarden
