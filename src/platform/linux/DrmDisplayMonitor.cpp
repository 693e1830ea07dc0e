#include "platform/linux/DrmDisplayMonitor.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "platform/linux/CallbackGuard.h"

namespace ampwarden {

DrmDisplayMonitor::DrmDisplayMonitor(Diagnostics& log, sd_event* event, std::string sysfsRoot)
    : log_(log), event_(event), drmDir_(std::move(sysfsRoot) + "/class/drm") {}

DrmDisplayMonitor::~DrmDisplayMonitor() = default;

void DrmDisplayMonitor::setReconfigurationCallback(Callback callback) {
    callback_ = std::move(callback);
    if (started_) return;
    started_ = true;
    connected_ = readConnectors();
    for (const auto& entry : connected_) displayId(entry.first);
    startMonitor();
}

void DrmDisplayMonitor::startMonitor() {
    if (event_ == nullptr) return;
    sd_device_monitor* raw = nullptr;
    int r = sd_device_monitor_new(&raw);
    sd::DeviceMonitorPtr monitor(raw);
    if (r >= 0) r = sd_device_monitor_filter_add_match_subsystem_devtype(raw, "drm", nullptr);
    if (r >= 0) r = sd_device_monitor_attach_event(raw, event_);
    if (r >= 0) r = sd_device_monitor_start(raw, onUevent, this);
    if (r < 0) {
        log_.systemLog(std::string("Ampwarden: cannot watch display changes: ") +
                       std::strerror(-r));
        return;
    }
    monitor_ = std::move(monitor);
}

int DrmDisplayMonitor::onUevent(sd_device_monitor*, sd_device*, void* userdata) {
    auto* self = static_cast<DrmDisplayMonitor*>(userdata);
    return CallbackGuard::run(self->event_, "the display handler", [self] { self->rescan(); });
}

void DrmDisplayMonitor::rescan() {
    Snapshot now = readConnectors();
    const Snapshot before = std::exchange(connected_, now);
    for (const auto& [connector, wasConnected] : before) {
        const auto found = now.find(connector);
        const bool isConnected = found != now.end() && found->second;
        if (wasConnected && !isConnected) report(connector, kDisplayRemoveFlag);
    }
    for (const auto& [connector, isConnected] : now) {
        const auto found = before.find(connector);
        const bool wasConnected = found != before.end() && found->second;
        if (isConnected && !wasConnected) report(connector, kDisplayAddFlag);
    }
}

// Connectors are the entries of class/drm that have a `status` file (card0-eDP-1, ...).
DrmDisplayMonitor::Snapshot DrmDisplayMonitor::readConnectors() const {
    Snapshot snapshot;
    std::error_code error;
    // The non-throwing increment: a connector that vanishes mid-walk ends the walk, no more.
    for (std::filesystem::directory_iterator it(drmDir_, error), end; !error && it != end;
         it.increment(error)) {
        std::ifstream file(it->path() / "status");
        std::string status;
        if (!file || !std::getline(file, status)) continue;
        snapshot[it->path().filename().string()] = status == "connected";
    }
    return snapshot;
}

std::uint32_t DrmDisplayMonitor::displayId(const std::string& connector) {
    return ids_.emplace(connector, static_cast<std::uint32_t>(ids_.size() + 1)).first->second;
}

void DrmDisplayMonitor::report(const std::string& connector, std::uint32_t flags) {
    const std::uint32_t id = displayId(connector);
    if (callback_) callback_(id, flags);
}

}  // namespace ampwarden
