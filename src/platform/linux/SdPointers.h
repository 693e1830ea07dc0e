#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-device.h>
#include <systemd/sd-event.h>

#include <memory>

namespace ampwarden::sd {

// One owner per libsystemd handle; releasing a null handle is a no-op for all of these.
template <auto Unref>
struct Unrefer {
    template <typename T>
    void operator()(T* handle) const {
        Unref(handle);
    }
};

using EventPtr = std::unique_ptr<sd_event, Unrefer<sd_event_unref>>;
using EventSourcePtr = std::unique_ptr<sd_event_source, Unrefer<sd_event_source_disable_unref>>;
using BusPtr = std::unique_ptr<sd_bus, Unrefer<sd_bus_flush_close_unref>>;
using SlotPtr = std::unique_ptr<sd_bus_slot, Unrefer<sd_bus_slot_unref>>;
using MessagePtr = std::unique_ptr<sd_bus_message, Unrefer<sd_bus_message_unref>>;
using DeviceMonitorPtr = std::unique_ptr<sd_device_monitor, Unrefer<sd_device_monitor_unref>>;

// An sd_bus_error that frees itself.
class BusError {
  public:
    BusError() = default;
    ~BusError() { sd_bus_error_free(&error_); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;

    sd_bus_error* get() { return &error_; }
    const char* message() const {
        return error_.message != nullptr ? error_.message
                                         : (error_.name != nullptr ? error_.name : "");
    }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace ampwarden::sd
