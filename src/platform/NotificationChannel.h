#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <variant>

namespace ampwarden {

// A value of an answer dictionary: a string, an "int" (32-bit) or an "integer" (64-bit).
using NotificationValue = std::variant<std::string, std::int32_t, std::int64_t>;
using NotificationDictionary = std::map<std::string, NotificationValue>;

// The dictionary as one log-friendly line, keys in order: {key = value; ...;}. Strings are
// quoted, numbers plain.
std::string describeDictionary(const NotificationDictionary& dictionary);

using DarwinCallback = std::function<void(const std::string& name)>;
// A command with the bus connection that sent it (its unique name, as the bus stamps it).
using CommandCallback = std::function<void(const std::string& name, const std::string& sender)>;
using DistributedCallback =
    std::function<void(const std::string& name, const NotificationDictionary& dictionary)>;

// The two system-wide channels between the main app and the helper: commands are bare names,
// answers are a name plus a dictionary delivered to every session. Callbacks run on the main
// loop.
class NotificationChannel {
  public:
    virtual ~NotificationChannel() = default;

    // Helper side.
    virtual void addDarwinObserver(const std::string& name, DarwinCallback callback) = 0;
    // The same, with the sender of each command.
    virtual void addCommandObserver(const std::string& name, CommandCallback callback) = 0;
    virtual void postDistributedNotification(const std::string& name,
                                             const NotificationDictionary& dictionary) = 0;

    // Main-app side (ampwardenctl, tests).
    virtual void postDarwinNotification(const std::string& name) = 0;
    virtual void addDistributedObserver(DistributedCallback callback) = 0;

    // Returns once everything posted so far has been handed over; for the last answer before
    // the process ends.
    virtual void flush() {}
    // Whether more messages have already arrived that the helper has not read yet: a flood.
    virtual bool backlog() { return false; }
};

}  // namespace ampwarden
