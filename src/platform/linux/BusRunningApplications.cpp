#include "platform/linux/BusRunningApplications.h"

#include <cstring>

namespace ampwarden {

namespace {
// The bus daemon answers this itself; anything slower means the bus is in trouble.
constexpr std::uint64_t kCallTimeoutUsec = 5000000;
}  // namespace

BusRunningApplications::BusRunningApplications(sd_bus* bus, Diagnostics& log)
    : bus_(bus), log_(log) {}

std::vector<std::optional<std::string>> BusRunningApplications::runningApplicationIds() {
    std::vector<std::optional<std::string>> ids;
    if (bus_ == nullptr) return ids;
    sd_bus_message* raw = nullptr;
    int r =
        sd_bus_message_new_method_call(bus_, &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "ListNames");
    sd::MessagePtr request(raw);
    sd::BusError error;
    sd_bus_message* reply = nullptr;
    if (r >= 0) r = sd_bus_call(bus_, raw, kCallTimeoutUsec, error.get(), &reply);
    sd::MessagePtr owned(reply);
    if (r >= 0) r = sd_bus_message_enter_container(reply, 'a', "s");
    const char* name = nullptr;
    while (r > 0 && (r = sd_bus_message_read(reply, "s", &name)) > 0) {
        if (name[0] != ':') ids.emplace_back(name);
    }
    if (r < 0 && !loggedFailure_) {
        loggedFailure_ = true;
        log_.systemLog(std::string("Ampwarden: cannot list the names on the bus: ") +
                       (*error.message() != '\0' ? error.message() : std::strerror(-r)));
    }
    return ids;
}

}  // namespace ampwarden
