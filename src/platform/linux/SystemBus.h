#pragma once

#include "platform/Diagnostics.h"
#include "platform/linux/SdEventRunLoop.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden {

// The one connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set), served by the main
// loop. Without the bus the helper cannot hear commands, so failing to connect, or losing the
// connection later, is logged once and ends the loop with a non-zero code; the service manager
// then restarts the helper.
class SystemBus {
  public:
    static constexpr int kLostBusExitCode = 1;

    SystemBus(SdEventRunLoop& loop, Diagnostics& log);
    SystemBus(const SystemBus&) = delete;
    SystemBus& operator=(const SystemBus&) = delete;

    // Null when no connection could be made; the bus-backed services then answer "unknown".
    sd_bus* bus() const { return bus_.get(); }

  private:
    static int ignoreInstallResult(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onDisconnected(sd_bus_message* message, void* userdata, sd_bus_error* error);
    void fail(const char* what, int r);

    SdEventRunLoop& loop_;
    Diagnostics& log_;
    sd::BusPtr bus_;
    sd::SlotPtr disconnectSlot_;
};

}  // namespace ampwarden
