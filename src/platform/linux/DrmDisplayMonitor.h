#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/Diagnostics.h"
#include "platform/DisplayMonitor.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden {

// Display changes from the kernel's DRM connectors. Every "drm" uevent rescans the connectors'
// `status` files under <sysfsRoot>/class/drm and reports each connector that became connected
// (kDisplayAddFlag) or stopped being connected (kDisplayRemoveFlag). A connector keeps the same
// small display id for the life of the process.
class DrmDisplayMonitor : public DisplayMonitor {
  public:
    // `event` may be null: then no uevents are watched and only rescan() reports changes.
    DrmDisplayMonitor(Diagnostics& log, sd_event* event, std::string sysfsRoot = "/sys");
    ~DrmDisplayMonitor() override;
    DrmDisplayMonitor(const DrmDisplayMonitor&) = delete;
    DrmDisplayMonitor& operator=(const DrmDisplayMonitor&) = delete;

    // Takes the first snapshot and starts watching uevents.
    void setReconfigurationCallback(Callback callback) override;

    // Reads every connector's status again and reports what changed since the last look.
    void rescan();

  private:
    using Snapshot = std::map<std::string, bool>;  // connector -> connected

    static int onUevent(sd_device_monitor* monitor, sd_device* device, void* userdata);
    Snapshot readConnectors() const;
    std::uint32_t displayId(const std::string& connector);
    void report(const std::string& connector, std::uint32_t flags);
    void startMonitor();

    Diagnostics& log_;
    sd_event* event_;
    std::string drmDir_;
    Callback callback_;
    Snapshot connected_;
    std::map<std::string, std::uint32_t> ids_;
    sd::DeviceMonitorPtr monitor_;
    bool started_ = false;
};

}  // namespace ampwarden
