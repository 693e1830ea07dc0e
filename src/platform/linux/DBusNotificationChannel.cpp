#include "platform/linux/DBusNotificationChannel.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/DBusNames.h"
#include "platform/linux/CallbackGuard.h"

namespace ampwarden {

namespace {

// The bus daemon refuses longer match rules.
constexpr std::size_t kMaxMatchRuleLength = 1024;
// Answers waiting to be written before the next command is read; a few kilobytes. Once the
// socket reports room, the kernel takes that many small messages at once, so the flush that
// follows does not wait.
constexpr std::uint64_t kMostQueuedAnswers = 64;
constexpr int kRoomWaitMs = 1000;

std::string signalRule(const char* member) {
    return std::string("type='signal',path='") + dbus::kObjectPath + "',interface='" +
           dbus::kInterface + "',member='" + member + "'";
}

}  // namespace

DBusNotificationChannel::DBusNotificationChannel(sd_bus* bus, Diagnostics& log)
    : bus_(bus), log_(log) {}

DBusNotificationChannel::~DBusNotificationChannel() = default;

// The bus filters on arg0 where it can. sd-bus and the bus daemon disagree on escapes inside
// quoted values, so a name with an apostrophe or a backslash, like one too long for a rule, is
// matched without arg0 and filtered in onDarwin instead.
std::string DBusNotificationChannel::darwinMatchRule(const std::string& name) {
    const std::string plain = signalRule(dbus::kDarwinSignal);
    const std::string rule = plain + ",arg0='" + name + "'";
    const bool quotable = name.find_first_of("'\\") == std::string::npos;
    return quotable && rule.size() <= kMaxMatchRuleLength ? rule : plain;
}

void DBusNotificationChannel::addDarwinObserver(const std::string& name, DarwinCallback callback) {
    addCommandObserver(
        name, [callback = std::move(callback)](const std::string& arrived, const std::string&) {
            callback(arrived);
        });
}

void DBusNotificationChannel::addCommandObserver(const std::string& name,
                                                 CommandCallback callback) {
    auto found = darwin_.find(name);
    if (found == darwin_.end()) {
        auto observers = std::make_unique<DarwinObservers>();
        observers->name = name;
        if (!subscribe(*observers)) return;
        found = darwin_.emplace(name, std::move(observers)).first;
    }
    found->second->callbacks.push_back(std::move(callback));
}

// Synchronous on purpose: once this returns, the bus forwards the name, so a command posted
// right after (by anyone) is not lost.
bool DBusNotificationChannel::subscribe(DarwinObservers& observers) {
    if (bus_ == nullptr) return false;
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_add_match(bus_, &slot, darwinMatchRule(observers.name).c_str(), onDarwin,
                                   &observers);
    if (r < 0) {
        logFailure("cannot observe " + observers.name, r);
        return false;
    }
    observers.slot.reset(slot);
    return true;
}

int DBusNotificationChannel::onDarwin(sd_bus_message* message, void* userdata, sd_bus_error*) {
    return CallbackGuard::run(message, "a command handler",
                              [message, userdata] { deliverDarwin(message, userdata); });
}

void DBusNotificationChannel::deliverDarwin(sd_bus_message* message, void* userdata) {
    const auto* observers = static_cast<const DarwinObservers*>(userdata);
    const char* name = nullptr;
    if (sd_bus_message_has_signature(message, "s") <= 0) return;
    if (sd_bus_message_read(message, "s", &name) < 0 || observers->name != name) return;
    // A copy: a callback may add observers, which may grow the list being walked.
    const auto callbacks = observers->callbacks;
    const std::string arrived = name;
    const char* stamped = sd_bus_message_get_sender(message);
    const std::string sender = stamped != nullptr ? stamped : "";
    for (const auto& callback : callbacks) callback(arrived, sender);
}

void DBusNotificationChannel::postDistributedNotification(
    const std::string& name, const NotificationDictionary& dictionary) {
    if (bus_ == nullptr) return;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(bus_, &raw, dbus::kObjectPath, dbus::kInterface,
                                      dbus::kDistributedSignal);
    sd::MessagePtr message(raw);
    if (r >= 0) r = sd_bus_message_append(raw, "s", name.c_str());
    if (r >= 0) r = appendDictionary(raw, dictionary) ? 0 : -EINVAL;
    if (r >= 0) r = sd_bus_send(bus_, raw, nullptr);
    if (r < 0) logFailure("cannot post " + name, r);
    waitForRoom();
}

// The next command is read only once the answers before it have left: under a flood of
// commands the backlog then waits in the bus daemon's bounded queues, not in our memory. The
// daemon reads every connection all the time, so this is a wait of a few milliseconds under
// load, and never longer than kRoomWaitMs.
void DBusNotificationChannel::waitForRoom() {
    std::uint64_t queued = 0;
    if (sd_bus_get_n_queued_write(bus_, &queued) < 0 || queued < kMostQueuedAnswers) return;
    pollfd room{sd_bus_get_fd(bus_), POLLOUT, 0};
    if (poll(&room, 1, kRoomWaitMs) != 1 || (room.revents & POLLOUT) == 0) return;
    if (const int r = sd_bus_flush(bus_); r < 0) logFailure("cannot flush the bus", r);
}

bool DBusNotificationChannel::appendDictionary(sd_bus_message* message,
                                               const NotificationDictionary& dictionary) {
    if (sd_bus_message_open_container(message, 'a', "{sv}") < 0) return false;
    for (const auto& [key, value] : dictionary) {
        int r = sd_bus_message_open_container(message, 'e', "sv");
        if (r >= 0) r = sd_bus_message_append(message, "s", key.c_str());
        if (r >= 0) {
            r = std::visit(
                [message](const auto& v) {
                    using T = std::decay_t<decltype(v)>;
                    if constexpr (std::is_same_v<T, std::string>) {
                        return sd_bus_message_append(message, "v", "s", v.c_str());
                    } else if constexpr (std::is_same_v<T, std::int32_t>) {
                        return sd_bus_message_append(message, "v", "i", v);
                    } else {
                        return sd_bus_message_append(message, "v", "x", v);
                    }
                },
                value);
        }
        if (r >= 0) r = sd_bus_message_close_container(message);
        if (r < 0) return false;
    }
    return sd_bus_message_close_container(message) >= 0;
}

void DBusNotificationChannel::flush() {
    if (bus_ == nullptr) return;
    const int r = sd_bus_flush(bus_);
    if (r < 0) logFailure("cannot flush the bus", r);
}

// Read but not yet dispatched, or still waiting in the socket.
bool DBusNotificationChannel::backlog() {
    if (bus_ == nullptr) return false;
    std::uint64_t queued = 0;
    if (sd_bus_get_n_queued_read(bus_, &queued) >= 0 && queued > 0) return true;
    pollfd input{sd_bus_get_fd(bus_), POLLIN, 0};
    return poll(&input, 1, 0) == 1 && (input.revents & POLLIN) != 0;
}

void DBusNotificationChannel::postDarwinNotification(const std::string& name) {
    if (bus_ == nullptr) return;
    const int r = sd_bus_emit_signal(bus_, dbus::kObjectPath, dbus::kInterface, dbus::kDarwinSignal,
                                     "s", name.c_str());
    if (r < 0) logFailure("cannot post " + name, r);
}

void DBusNotificationChannel::addDistributedObserver(DistributedCallback callback) {
    if (bus_ == nullptr) return;
    if (!distributedSlot_) {
        sd_bus_slot* slot = nullptr;
        const int r = sd_bus_add_match(bus_, &slot, signalRule(dbus::kDistributedSignal).c_str(),
                                       onDistributed, this);
        if (r < 0) {
            logFailure("cannot observe answers", r);
            return;
        }
        distributedSlot_.reset(slot);
    }
    distributedCallbacks_.push_back(std::move(callback));
}

int DBusNotificationChannel::onDistributed(sd_bus_message* message, void* userdata, sd_bus_error*) {
    return CallbackGuard::run(message, "an answer handler",
                              [message, userdata] { deliverDistributed(message, userdata); });
}

void DBusNotificationChannel::deliverDistributed(sd_bus_message* message, void* userdata) {
    auto* self = static_cast<DBusNotificationChannel*>(userdata);
    const char* name = nullptr;
    if (sd_bus_message_has_signature(message, "sa{sv}") <= 0) return;
    if (sd_bus_message_read(message, "s", &name) < 0) return;
    NotificationDictionary dictionary;
    if (!readDictionary(message, dictionary)) return;
    const auto callbacks = self->distributedCallbacks_;
    const std::string arrived = name;
    for (const auto& callback : callbacks) callback(arrived, dictionary);
}

bool DBusNotificationChannel::readDictionary(sd_bus_message* message,
                                             NotificationDictionary& dictionary) {
    if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) return false;
    int r = 0;
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
        if (!readEntry(message, dictionary)) return false;
        if (sd_bus_message_exit_container(message) < 0) return false;
    }
    return r == 0 && sd_bus_message_exit_container(message) >= 0;
}

// One key and its value; values of other types than s, i and x are skipped.
bool DBusNotificationChannel::readEntry(sd_bus_message* message,
                                        NotificationDictionary& dictionary) {
    const char* key = nullptr;
    const char* contents = nullptr;
    if (sd_bus_message_read(message, "s", &key) < 0) return false;
    if (sd_bus_message_peek_type(message, nullptr, &contents) < 0 || contents == nullptr) {
        return false;
    }
    if (std::strcmp(contents, "s") == 0) {
        const char* text = nullptr;
        if (sd_bus_message_read(message, "v", "s", &text) < 0) return false;
        dictionary[key] = std::string(text);
    } else if (std::strcmp(contents, "i") == 0) {
        std::int32_t number = 0;
        if (sd_bus_message_read(message, "v", "i", &number) < 0) return false;
        dictionary[key] = number;
    } else if (std::strcmp(contents, "x") == 0) {
        std::int64_t number = 0;
        if (sd_bus_message_read(message, "v", "x", &number) < 0) return false;
        dictionary[key] = number;
    } else if (sd_bus_message_skip(message, "v") < 0) {
        return false;
    }
    return true;
}

void DBusNotificationChannel::logFailure(const std::string& what, int r) {
    log_.systemLog("Ampwarden: " + what + ": " + std::strerror(-r));
}

}  // namespace ampwarden
