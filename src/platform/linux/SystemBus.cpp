#include "platform/linux/SystemBus.h"

#include <cstring>
#include <string>

#include "platform/linux/CallbackGuard.h"

namespace ampwarden {

SystemBus::SystemBus(SdEventRunLoop& loop, Diagnostics& log) : loop_(loop), log_(log) {
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        fail("cannot connect to the system bus", r);
        return;
    }
    bus_.reset(bus);
    r = sd_bus_attach_event(bus, loop.event(), SD_EVENT_PRIORITY_NORMAL);
    if (r < 0) {
        fail("cannot attach the system bus to the main loop", r);
        bus_.reset();
        return;
    }
    sd_bus_slot* slot = nullptr;
    // The local Disconnected signal is synthesized by sd-bus itself when the socket goes away.
    r = sd_bus_match_signal_async(bus, &slot, "org.freedesktop.DBus.Local",
                                  "/org/freedesktop/DBus/Local", "org.freedesktop.DBus.Local",
                                  "Disconnected", onDisconnected, ignoreInstallResult, this);
    // Without this match a lost bus would go unnoticed instead of ending the helper.
    if (r < 0) {
        fail("cannot watch for the loss of the system bus", r);
        return;
    }
    disconnectSlot_.reset(slot);
}

// sd-bus matches this signal locally; whether the bus daemon also took the rule does not matter.
int SystemBus::ignoreInstallResult(sd_bus_message*, void*, sd_bus_error*) { return 0; }

int SystemBus::onDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto* self = static_cast<SystemBus*>(userdata);
    self->loop_.quit(kLostBusExitCode);
    return CallbackGuard::run(self->loop_.event(), "the bus watch", [self] {
        self->log_.systemLog("Ampwarden: lost the connection to the system bus; exiting");
    });
}

void SystemBus::fail(const char* what, int r) {
    log_.systemLog(std::string("Ampwarden: ") + what + ": " + std::strerror(-r));
    loop_.quit(kLostBusExitCode);
}

}  // namespace ampwarden
