#include "ampwardenctl/PowerMonitor.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/linux/CallbackGuard.h"
#include "platform/linux/HostFiles.h"

namespace ampwarden::ctl {
namespace {

constexpr const char* kUPower = "org.freedesktop.UPower";
constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kDisplayDevice = "/org/freedesktop/UPower/devices/DisplayDevice";
constexpr const char* kDeviceInterface = "org.freedesktop.UPower.Device";
constexpr double kKernelPeriodSeconds = 60;

template <typename T>
bool getProperty(sd_bus* bus, const char* path, const char* name, char type, T& out) {
    sd::BusError error;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_get_property(bus, kUPower, path, kDeviceInterface, name, error.get(), &raw,
                                std::string(1, type).c_str());
    const sd::MessagePtr reply(raw);
    if (r >= 0) r = sd_bus_message_read_basic(reply.get(), type, &out);
    return r > 0;
}

std::vector<std::string> upowerDevices(sd_bus* bus) {
    sd::BusError error;
    sd_bus_message* raw = nullptr;
    const int r = sd_bus_call_method(bus, kUPower, kUPowerPath, kUPower, "EnumerateDevices",
                                     error.get(), &raw, "");
    const sd::MessagePtr reply(raw);
    std::vector<std::string> paths;
    if (r >= 0 && sd_bus_message_enter_container(reply.get(), 'a', "o") > 0) {
        const char* path = nullptr;
        while (sd_bus_message_read_basic(reply.get(), 'o', &path) > 0) paths.emplace_back(path);
    }
    return paths;
}

// The mains state: any UPower device with an "Online" property that is true.
std::optional<bool> upowerMains(sd_bus* bus) {
    std::optional<bool> mains;
    for (const auto& path : upowerDevices(bus)) {
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

PowerMonitor::PowerMonitor(sd_bus* bus, RunLoop& loop)
    : bus_(bus), loop_(loop), sysfsRoot_(HostFiles::rootFromEnvironment()) {}

bool PowerMonitor::upowerAnswers(sd_bus* bus) {
    double percentage = 0;
    // A silent UPower holds the start up for a second, not for the bus's default 25.
    sd_bus_set_method_call_timeout(bus, 1000 * 1000);
    return getProperty(bus, kDisplayDevice, "Percentage", 'd', percentage);
}

bool PowerMonitor::start(Handler handler, std::string& error) {
    handler_ = std::move(handler);
    upower_ = upowerAnswers(bus_);
    if (upower_) {
        sd_bus_slot* change = nullptr;
        sd_bus_slot* device = nullptr;
        int r =
            sd_bus_match_signal(bus_, &change, kUPower, nullptr, "org.freedesktop.DBus.Properties",
                                "PropertiesChanged", onUPowerChange, this);
        changeSlot_.reset(change);
        if (r >= 0) {
            r = sd_bus_match_signal(bus_, &device, kUPower, kUPowerPath, kUPower, nullptr,
                                    onUPowerChange, this);
            deviceSlot_.reset(device);
        }
        if (r < 0) {
            error = std::string("cannot watch UPower: ") + std::strerror(-r);
            return false;
        }
    } else {
        timer_ = loop_.repeating(kKernelPeriodSeconds, [this] { refresh(); });
    }
    refresh();
    return true;
}

PowerReading PowerMonitor::readOnce(sd_bus* bus, const char*& source) {
    const bool upower = upowerAnswers(bus);
    source = upower ? "UPower" : "kernel attributes";
    return upower ? readUPower(bus) : readKernelAttributes(HostFiles::rootFromEnvironment());
}

PowerReading PowerMonitor::readUPower(sd_bus* bus) {
    PowerReading reading;
    double percentage = 0;
    int present = 0;
    if (getProperty(bus, kDisplayDevice, "IsPresent", 'b', present) && present &&
        getProperty(bus, kDisplayDevice, "Percentage", 'd', percentage)) {
        reading.level = static_cast<int>(std::lround(percentage));
    }
    reading.mains = upowerMains(bus);
    std::uint32_t state = 0;
    if (getProperty(bus, kDisplayDevice, "State", 'u', state)) reading.state = upowerState(state);
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
    PowerReading reading = upower_ ? readUPower(bus_) : readKernelAttributes(sysfsRoot_);
    bool changed = !haveReading_ || reading.level != last_.level || reading.mains != last_.mains ||
                   reading.state != last_.state;
    last_ = reading;
    haveReading_ = true;
    if (changed && handler_) handler_(reading);
}

int PowerMonitor::onUPowerChange(sd_bus_message* message, void* self, sd_bus_error*) {
    return CallbackGuard::run(message, "reading UPower",
                              [self] { static_cast<PowerMonitor*>(self)->refresh(); });
}

}  // namespace ampwarden::ctl
