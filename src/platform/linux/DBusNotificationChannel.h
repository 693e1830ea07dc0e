#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/NotificationChannel.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden {

// Commands and answers as D-Bus signals on one object: a command is `Darwin` (s), an answer is
// `Distributed` (sa{sv}) with strings as s, 32-bit ints as i and 64-bit ints as x. Observers
// of a command name get a match on arg0, so the bus only forwards the names asked for.
// Malformed signals are dropped quietly. Command observers learn the sender's unique name as
// the bus daemon stamped it. Callbacks run on the loop the bus is attached to. Posting waits
// for the bus when answers pile up (see waitForRoom), so a flood cannot grow our memory.
class DBusNotificationChannel : public NotificationChannel {
  public:
    // `bus` may be null (no connection): then nothing is observed and nothing is sent.
    DBusNotificationChannel(sd_bus* bus, Diagnostics& log);
    ~DBusNotificationChannel() override;
    DBusNotificationChannel(const DBusNotificationChannel&) = delete;
    DBusNotificationChannel& operator=(const DBusNotificationChannel&) = delete;

    void addDarwinObserver(const std::string& name, DarwinCallback callback) override;
    void addCommandObserver(const std::string& name, CommandCallback callback) override;
    void postDistributedNotification(const std::string& name,
                                     const NotificationDictionary& dictionary) override;
    void postDarwinNotification(const std::string& name) override;
    void addDistributedObserver(DistributedCallback callback) override;
    void flush() override;
    bool backlog() override;

  private:
    struct DarwinObservers {
        std::string name;
        sd::SlotPtr slot;
        std::vector<CommandCallback> callbacks;
    };

    static std::string darwinMatchRule(const std::string& name);
    static int onDarwin(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onDistributed(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static void deliverDarwin(sd_bus_message* message, void* userdata);
    static void deliverDistributed(sd_bus_message* message, void* userdata);
    void waitForRoom();
    static bool appendDictionary(sd_bus_message* message, const NotificationDictionary& dictionary);
    static bool readDictionary(sd_bus_message* message, NotificationDictionary& dictionary);
    static bool readEntry(sd_bus_message* message, NotificationDictionary& dictionary);
    bool subscribe(DarwinObservers& observers);
    void logFailure(const std::string& what, int r);

    sd_bus* bus_;
    Diagnostics& log_;
    std::map<std::string, std::unique_ptr<DarwinObservers>> darwin_;
    sd::SlotPtr distributedSlot_;
    std::vector<DistributedCallback> distributedCallbacks_;
};

}  // namespace ampwarden
