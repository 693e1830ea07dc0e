#include "platform/linux/BusRunningApplications.h"

#include <utility>

namespace ampwarden {

namespace {
// The bus daemon answers this itself; a slower answer means the bus is in trouble, and the
// watchdog asks again 10 s later anyway.
constexpr std::uint64_t kCallTimeoutUsec = 5000000;
constexpr const char* kNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";

bool readStrings(sd_bus_message* message, std::vector<std::string>& out) {
    if (sd_bus_message_enter_container(message, 'a', "s") < 0) return false;
    for (;;) {
        const char* item = nullptr;
        const int r = sd_bus_message_read(message, "s", &item);
        if (r < 0 || (r > 0 && item == nullptr)) return false;
        if (r == 0) break;
        out.emplace_back(item);
    }
    return sd_bus_message_exit_container(message) >= 0;
}
}  // namespace

BusRunningApplications::BusRunningApplications(sd_bus* bus) : calls_(bus) {}

void BusRunningApplications::findApplication(const std::string& id, LookupCallback done) {
    using State = ApplicationLookup::State;
    auto request = calls_.newCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "ListQueuedOwners");
    if (request && sd_bus_message_append(request.get(), "s", id.c_str()) < 0) request.reset();
    calls_.call(std::move(request), kCallTimeoutUsec,
                [done = std::move(done)](const AsyncBusCalls::Reply& reply) {
                    if (!reply.ok()) {
                        if (reply.errorName == kNoOwner) return done({State::NotRunning, {}, ""});
                        return done({State::Unknown, {}, reply.failure()});
                    }
                    std::vector<std::string> owners;
                    if (!readStrings(reply.message, owners)) {
                        return done({State::Unknown, {}, "a malformed answer from the bus"});
                    }
                    if (owners.empty()) return done({State::NotRunning, {}, ""});
                    done({State::Running, std::move(owners), ""});
                });
}

}  // namespace ampwarden
