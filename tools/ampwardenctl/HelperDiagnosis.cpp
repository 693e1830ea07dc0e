#include "ampwardenctl/HelperDiagnosis.h"

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/linux/SdPointers.h"

namespace ampwarden::ctl {
namespace {

using Unit = HelperDiagnosis::Unit;

constexpr const char* kSystemd = "org.freedesktop.systemd1";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr std::uint64_t kBoundUsec = 1000 * 1000;

std::optional<std::string> stringProperty(sd_bus* bus, const char* service, const char* path,
                                          const char* interface, const char* name) {
    sd::BusError error;
    char* value = nullptr;
    const int r =
        sd_bus_get_property_string(bus, service, path, interface, name, error.get(), &value);
    const std::unique_ptr<char, decltype(&free)> owned(value, &free);
    if (r < 0) return std::nullopt;
    return std::string(value);
}

// GetUnit fails for a unit that is not loaded: not installed, or never started.
Unit unitState(sd_bus* bus, std::string& state) {
    sd::BusError error;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus, kSystemd, "/org/freedesktop/systemd1",
                               "org.freedesktop.systemd1.Manager", "GetUnit", error.get(), &raw,
                               "s", HelperDiagnosis::kUnit);
    const sd::MessagePtr reply(raw);
    const bool noSystemd =
        r < 0 && (sd_bus_error_has_name(error.get(), SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                  sd_bus_error_has_name(error.get(), SD_BUS_ERROR_NAME_HAS_NO_OWNER));
    const bool notLoaded =
        r < 0 && sd_bus_error_has_name(error.get(), "org.freedesktop.systemd1.NoSuchUnit");
    const char* path = nullptr;
    std::string unitPath;
    if (r >= 0 && sd_bus_message_read_basic(reply.get(), 'o', &path) > 0) unitPath = path;
    if (notLoaded) {
        state = "not loaded";
        return Unit::NotRunning;
    }
    if (noSystemd || unitPath.empty()) return Unit::Unknown;
    auto active = stringProperty(bus, kSystemd, unitPath.c_str(), "org.freedesktop.systemd1.Unit",
                                 "ActiveState");
    if (!active) return Unit::Unknown;
    state = *active;
    return state == "active" || state == "reloading" ? Unit::Running : Unit::NotRunning;
}

std::optional<bool> someoneAtSeat(sd_bus* bus) {
    sd::BusError error;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_get_property(bus, kLogind, "/org/freedesktop/login1/seat/seat0",
                                "org.freedesktop.login1.Seat", "ActiveSession", error.get(), &raw,
                                "(so)");
    const sd::MessagePtr reply(raw);
    const char* id = nullptr;
    const char* path = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply.get(), "(so)", &id, &path);
    std::string sessionPath = r > 0 && id && *id ? path : "";
    if (r <= 0) return std::nullopt;
    if (sessionPath.empty()) return false;
    // A login screen is nobody, as the helper counts it.
    auto kind = stringProperty(bus, kLogind, sessionPath.c_str(), "org.freedesktop.login1.Session",
                               "Class");
    return !kind || *kind != "greeter";
}

}  // namespace

HelperDiagnosis::Facts HelperDiagnosis::gather() {
    Facts facts;
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) < 0) return facts;
    const sd::BusPtr bus(raw);
    sd_bus_set_method_call_timeout(raw, kBoundUsec);
    facts.unit = unitState(raw, facts.unitState);
    facts.someoneAtSeat = someoneAtSeat(raw);
    return facts;
}

std::string HelperDiagnosis::explain(const Facts& facts, bool needsAuthorisation, bool root) {
    const std::string journal = "journalctl -u lumora.Ampwarden.service";
    if (facts.unit == Unit::NotRunning) {
        return "the helper is not running (" + std::string(kUnit) + " is " + facts.unitState +
               "; start it with 'sudo systemctl start lumora.Ampwarden')";
    }
    if (facts.someoneAtSeat == false) {
        return std::string(facts.unit == Unit::Running ? "the helper is running but"
                                                       : "if the helper runs, it") +
               " waits for someone to log in at the machine (seat0) before it answers anything";
    }
    if (needsAuthorisation && !root) {
        return "not authorised: the helper answers nothing to callers it does not authorise "
               "(see " +
               journal + ")";
    }
    if (facts.unit == Unit::Running)
        return "the helper runs but did not answer (see " + journal + ")";
    return "is the helper running? ('systemctl status lumora.Ampwarden')";
}

}  // namespace ampwarden::ctl
