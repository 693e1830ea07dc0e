#include "platform/linux/BusRunningApplications.h"

#include <utility>

namespace ampwarden {

namespace {
// The bus daemon answers this itself; a slower answer means the bus is in trouble, and the
// watchdog asks again 10 s later anyway.
constexpr std::uint64_t kCallTimeoutUsec = 5000000;
constexpr const char* kNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";
}  // namespace

BusRunningApplications::BusRunningApplications(sd_bus* bus) : calls_(bus) {}

void BusRunningApplications::findApplication(const std::string& id, LookupCallback done) {
    using State = ApplicationLookup::State;
    auto request = calls_.newCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "GetNameOwner");
    if (request && sd_bus_message_append(request.get(), "s", id.c_str()) < 0) request.reset();
    calls_.call(std::move(request), kCallTimeoutUsec,
                [done = std::move(done)](const AsyncBusCalls::Reply& reply) {
                    if (!reply.ok()) {
                        if (reply.errorName == kNoOwner) return done({State::NotRunning, "", ""});
                        return done({State::Unknown, "", reply.failure()});
                    }
                    const char* owner = nullptr;
                    if (sd_bus_message_read(reply.message, "s", &owner) < 0 || owner == nullptr) {
                        return done({State::Unknown, "", "a malformed answer from the bus"});
                    }
                    done({State::Running, owner, ""});
                });
}

}  // namespace ampwarden
