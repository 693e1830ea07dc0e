#include "ampwardenctl/PowerMonitor.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/linux/HostFiles.h"

namespace ampwarden::ctl {
namespace {

constexpr const char* kUPower = "org.freedesktop.UPower";
constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";
constexpr const char* kDeviceInterface = "org.freedesktop.UPower.Device";
constexpr std::uint64_t kKernelPeriodUsec = 60ULL * 1000 * 1000;

template <typename T>
bool getProperty(sd_bus* bus, const char* path, const char* name, char type, T& out) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_get_property(bus, kUPower, path, kDeviceInterface, name, &error, &reply,
                                std::string(1, type).c_str());
    sd_bus_error_free(&error);
    if (r >= 0) r = sd_bus_message_read_basic(reply, type, &out);
    sd_bus_message_unref(reply);
    return r > 0;
}

// The mains state: any UPower device with an "Online" property that is true.
std::optional<bool> upowerMains(sd_bus* bus) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus, kUPower, kUPowerPath, kUPower, "EnumerateDevices", &error,
                               &reply, "");
    sd_bus_error_free(&error);
    std::vector<std::string> paths;
    if (r >= 0 && sd_bus_message_enter_container(reply, 'a', "o") > 0) {
        const char* path = nullptr;
        while (sd_bus_message_read_basic(reply, 'o', &path) > 0) paths.emplace_back(path);
    }
    sd_bus_message_unref(reply);
    std::optional<bool> mains;
    for (const auto& path : paths) {
        int online = 0;
        if (!getProperty(bus, path.c_str(), "Online", 'b', online)) continue;
        mains = mains.value_or(false) || online != 0;
    }
    return mains;
}

// UPower's Device.State values, in its own order from 1.
std::string upowerState(std::uint32_t state) {
    static const char* const kStates[] = {"charging", "discharging",  "empty",
                                          "full",     "not charging", "not discharging"};
    return state >= 1 && state <= std::size(kStates) ? kStates[state - 1] : "";
}

// The kernel's power_supply "status" words, in lower case: "Not charging" -> "not charging".
std::string kernelState(std::string status) {
    if (status == "Unknown") return "";
    for (char& c : status) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return status;
}

}  // namespace

PowerMonitor::PowerMonitor(sd_bus* bus, sd_event* event)
    : bus_(bus), event_(event), sysfsRoot_(HostFiles::rootFromEnvironment()) {}

PowerMonitor::~PowerMonitor() {
    sd_bus_slot_unref(changeSlot_);
    sd_bus_slot_unref(deviceSlot_);
    sd_event_source_unref(timer_);
}

bool PowerMonitor::start(Handler handler, std::string& error) {
    handler_ = std::move(handler);
    double percentage = 0;
    // A silent UPower holds the start up for a second, not for the bus's default 25.
    sd_bus_set_method_call_timeout(bus_, 1000 * 1000);
    upower_ = getProperty(bus_, kDisplayDevice, "Percentage", 'd', percentage);
    if (upower_) {
        int r = sd_bus_match_signal(bus_, &changeSlot_, kUPower, nullptr,
                                    "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                    onUPowerChange, this);
        if (r >= 0) {
            r = sd_bus_match_signal(bus_, &deviceSlot_, kUPower, kUPowerPath, kUPower, nullptr,
                                    onUPowerChange, this);
        }
        if (r < 0) {
            error = std::string("cannot watch UPower: ") + std::strerror(-r);
            return false;
        }
    } else if (!armTimer()) {
        error = "cannot set the once-a-minute timer";
        return false;
    }
    refresh();
    return true;
}

PowerReading PowerMonitor::readUPower() {
    PowerReading reading;
    double percentage = 0;
    int present = 0;
    if (getProperty(bus_, kDisplayDevice, "IsPresent", 'b', present) && present &&
        getProperty(bus_, kDisplayDevice, "Percentage", 'd', percentage)) {
        reading.level = static_cast<int>(std::lround(percentage));
    }
    reading.mains = upowerMains(bus_);
    std::uint32_t state = 0;
    if (getProperty(bus_, kDisplayDevice, "State", 'u', state)) reading.state = upowerState(state);
    if (!reading.mains && state != 0) {
        // No line-power device: the display device's charging states mean mains.
        reading.mains = state == 1 || state == 4 || state == 5;
    }
    return reading;
}

PowerReading PowerMonitor::readKernelAttributes(const std::string& root) {
    PowerReading reading;
    const HostFiles files(root);
    const std::string base = "/sys/class/power_supply/";
    for (const auto& name : files.list(base)) {
        const std::string dir = base + name + "/";
        const std::string type = files.read(dir + "type").value_or("");
        if (type == "Mains" || type == "USB") {
            const std::string online = files.read(dir + "online").value_or("");
            if (!online.empty()) reading.mains = reading.mains.value_or(false) || online == "1";
        } else if (type == "Battery" && !reading.level) {
            const std::string capacity = files.read(dir + "capacity").value_or("");
            char* end = nullptr;
            long value = std::strtol(capacity.c_str(), &end, 10);
            if (!capacity.empty() && *end == '\0' && value >= 0 && value <= 100) {
                reading.level = static_cast<int>(value);
            }
            const std::string status = files.read(dir + "status").value_or("");
            reading.state = kernelState(status);
            if (!reading.mains && (status == "Charging" || status == "Full")) reading.mains = true;
        }
    }
    return reading;
}

void PowerMonitor::refresh() {
    PowerReading reading = upower_ ? readUPower() : readKernelAttributes(sysfsRoot_);
    bool changed = !haveReading_ || reading.level != last_.level || reading.mains != last_.mains ||
                   reading.state != last_.state;
    last_ = reading;
    haveReading_ = true;
    if (changed && handler_) handler_(reading);
}

bool PowerMonitor::armTimer() {
    if (timer_)
        return sd_event_source_set_time_relative(timer_, kKernelPeriodUsec) >= 0 &&
               sd_event_source_set_enabled(timer_, SD_EVENT_ONESHOT) >= 0;
    // A minute's slack of a second lets the kernel batch this wake-up with others.
    return sd_event_add_time_relative(event_, &timer_, CLOCK_MONOTONIC, kKernelPeriodUsec,
                                      1000 * 1000, onTimer, this) >= 0;
}

int PowerMonitor::onUPowerChange(sd_bus_message*, void* self, sd_bus_error*) {
    try {
        static_cast<PowerMonitor*>(self)->refresh();
    } catch (...) {
        std::fputs("ampwardenctl: failed to read UPower\n", stderr);
    }
    return 0;
}

int PowerMonitor::onTimer(sd_event_source*, std::uint64_t, void* self) {
    auto* monitor = static_cast<PowerMonitor*>(self);
    try {
        monitor->refresh();
    } catch (...) {
        std::fputs("ampwardenctl: failed to read the kernel's battery attributes\n", stderr);
    }
    monitor->armTimer();
    return 0;
}

}  // namespace ampwarden::ctl
