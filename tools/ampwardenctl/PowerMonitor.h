#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <functional>
#include <string>

#include "ampwardenctl/KeepDecision.h"

namespace ampwarden::ctl {

// The battery level and the mains state, from UPower's change signals on the system bus, or,
// where UPower is absent, from the kernel's power_supply attributes read once a minute
// (below AMPWARDEN_SYSFS_ROOT when that is set). Runs on the loop of the bus it is given.
class PowerMonitor {
  public:
    using Handler = std::function<void(const PowerReading&)>;

    PowerMonitor(sd_bus* bus, sd_event* event);
    ~PowerMonitor();
    PowerMonitor(const PowerMonitor&) = delete;
    PowerMonitor& operator=(const PowerMonitor&) = delete;

    // Reads once and starts watching; `handler` gets every reading that differs from the last.
    bool start(Handler handler, std::string& error);

    const PowerReading& last() const { return last_; }
    // "UPower" or "kernel attributes".
    const char* source() const { return upower_ ? "UPower" : "kernel attributes"; }

    // One reading of the kernel attributes below `root` ("/" on a real system).
    static PowerReading readKernelAttributes(const std::string& root);

  private:
    PowerReading readUPower();
    void refresh();
    bool armTimer();

    static int onUPowerChange(sd_bus_message* message, void* self, sd_bus_error* error);
    static int onTimer(sd_event_source* source, std::uint64_t usec, void* self);

    sd_bus* bus_;
    sd_event* event_;
    sd_bus_slot* changeSlot_ = nullptr;
    sd_bus_slot* deviceSlot_ = nullptr;
    sd_event_source* timer_ = nullptr;
    bool upower_ = false;
    std::string sysfsRoot_;
    PowerReading last_;
    bool haveReading_ = false;
    Handler handler_;
};

}  // namespace ampwarden::ctl
