#pragma once

#include <memory>
#include <string>

#include "ampwardenctl/PowerSource.h"
#include "platform/RunLoop.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden::ctl {

// The battery level and the mains state, from UPower's change signals on the system bus, or,
// where UPower is absent, from the kernel's power_supply attributes read once a minute
// (below AMPWARDEN_SYSFS_ROOT when that is set). The bus must be attached to `loop`'s loop.
class PowerMonitor : public PowerSource {
  public:
    PowerMonitor(sd_bus* bus, RunLoop& loop);
    PowerMonitor(const PowerMonitor&) = delete;
    PowerMonitor& operator=(const PowerMonitor&) = delete;

    bool start(Handler handler, std::string& error) override;
    const PowerReading& last() const override { return last_; }
    const char* name() const override { return upower_ ? "UPower" : "kernel attributes"; }

    // One reading, from UPower when it answers, else from the kernel; `source` names which.
    static PowerReading readOnce(sd_bus* bus, const char*& source);
    // One reading of the kernel attributes below `root` ("/" on a real system).
    static PowerReading readKernelAttributes(const std::string& root);

  private:
    static PowerReading readUPower(sd_bus* bus);
    static bool upowerAnswers(sd_bus* bus);
    void refresh();

    static int onUPowerChange(sd_bus_message* message, void* self, sd_bus_error* error);

    sd_bus* bus_;
    RunLoop& loop_;
    sd::SlotPtr changeSlot_;
    sd::SlotPtr deviceSlot_;
    std::unique_ptr<Timer> timer_;
    bool upower_ = false;
    std::string sysfsRoot_;
    PowerReading last_;
    bool haveReading_ = false;
    Handler handler_;
};

}  // namespace ampwarden::ctl
