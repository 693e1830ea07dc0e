#include "ampwardenctl/SessionInterface.h"

#include <cstdint>
#include <cstring>
#include <variant>

#include "platform/linux/CallbackGuard.h"

namespace ampwarden::ctl {
namespace {

struct Range {
    std::uint32_t low;
    std::uint32_t high;
};

using Value = std::variant<bool, std::int32_t, std::uint32_t, std::string, Range>;

struct Property {
    const char* name;
    Value (*value)(const BatteryApp& app);
};

std::uint32_t percentOrZero(const std::optional<int>& value) {
    return static_cast<std::uint32_t>(value.value_or(0));
}

// An unset setting reads as 0 (Keep, DischargeTo) or as an empty Limit; an unknown level as -1
// and unknown mains as not on mains.
const Property kProperties[] = {
    {"Holding", [](const BatteryApp& app) -> Value { return app.holding(); }},
    {"Reason", [](const BatteryApp& app) -> Value { return app.reason(); }},
    {"Helper", [](const BatteryApp& app) -> Value { return helperStateName(app.helper()); }},
    {"Level",
     [](const BatteryApp& app) -> Value { return std::int32_t{app.battery().level.value_or(-1)}; }},
    {"OnMains", [](const BatteryApp& app) -> Value { return app.battery().mains.value_or(false); }},
    {"Settings", [](const BatteryApp& app) -> Value { return describeSettings(app.settings()); }},
    {"Limit",
     [](const BatteryApp& app) -> Value {
         const auto& limit = app.settings().limit;
         return std::string(limit ? (*limit ? "on" : "off") : "");
     }},
    {"Keep",
     [](const BatteryApp& app) -> Value {
         return Range{percentOrZero(app.settings().keepLow),
                      percentOrZero(app.settings().keepHigh)};
     }},
    {"DischargeTo",
     [](const BatteryApp& app) -> Value { return percentOrZero(app.settings().dischargeTo); }},
    {"ChargingToFullOnce", [](const BatteryApp& app) -> Value { return app.chargingToFull(); }},
    {"Notify", [](const BatteryApp& app) -> Value { return app.settings().notify; }},
    {"NotifyHolds", [](const BatteryApp& app) -> Value { return app.settings().notifyHolds; }},
};

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

int append(sd_bus_message* reply, const Value& value) {
    return std::visit(
        Overloaded{
            [reply](bool v) { return sd_bus_message_append(reply, "b", static_cast<int>(v)); },
            [reply](std::int32_t v) { return sd_bus_message_append(reply, "i", v); },
            [reply](std::uint32_t v) { return sd_bus_message_append(reply, "u", v); },
            [reply](const std::string& v) { return sd_bus_message_append(reply, "s", v.c_str()); },
            [reply](Range v) { return sd_bus_message_append(reply, "(uu)", v.low, v.high); },
        },
        value);
}

// What a value is, to see whether it changed.
std::string textOf(const Value& value) {
    return std::visit(
        Overloaded{
            [](bool v) { return std::string(v ? "true" : "false"); },
            [](std::int32_t v) { return std::to_string(v); },
            [](std::uint32_t v) { return std::to_string(v); },
            [](const std::string& v) { return v; },
            [](Range v) { return std::to_string(v.low) + "-" + std::to_string(v.high); },
        },
        value);
}

constexpr auto kChanges = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;

}  // namespace

std::unique_ptr<SessionInterface> SessionInterface::connect(sd_event* loop, std::string& error) {
    std::unique_ptr<SessionInterface> session(new SessionInterface());
    sd_bus* bus = nullptr;
    int r = sd_bus_open_user(&bus);
    if (r >= 0) {
        session->bus_.reset(bus);
        r = sd_bus_attach_event(bus, loop, SD_EVENT_PRIORITY_NORMAL);
    }
    if (r < 0) {
        error = std::string("no session bus: ") + std::strerror(-r);
        return nullptr;
    }
    return session;
}

SessionInterface::~SessionInterface() = default;

bool SessionInterface::serve(BatteryApp& app, std::string& error) {
    app_ = &app;
    // In the order of kProperties. Methods keep their default access: only this user (or
    // root) may call them.
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Holding", "s", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("Reason", "s", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("Helper", "s", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("Level", "i", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("OnMains", "b", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("Settings", "s", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("Limit", "s", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("Keep", "(uu)", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("DischargeTo", "u", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("ChargingToFullOnce", "b", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("Notify", "b", getProperty, 0, kChanges),
        SD_BUS_PROPERTY("NotifyHolds", "b", getProperty, 0, kChanges),
        SD_BUS_METHOD_WITH_ARGS("SetKeep", SD_BUS_ARGS("u", low, "u", high), SD_BUS_NO_RESULT,
                                onSetting, 0),
        SD_BUS_METHOD_WITH_ARGS("SetLimit", SD_BUS_ARGS("b", on), SD_BUS_NO_RESULT, onSetting, 0),
        SD_BUS_METHOD_WITH_ARGS("SetDischargeTo", SD_BUS_ARGS("u", percent), SD_BUS_NO_RESULT,
                                onSetting, 0),
        SD_BUS_METHOD_WITH_ARGS("ChargeToFullOnce", SD_BUS_NO_ARGS, SD_BUS_RESULT("s", outcome),
                                onChargeToFullOnce, 0),
        SD_BUS_VTABLE_END,
    };
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_add_object_vtable(bus_.get(), &slot, kObjectPath, kInterface, vtable, this);
    if (r < 0) {
        error = std::string("cannot serve ") + kObjectPath + ": " + std::strerror(-r);
        return false;
    }
    objectSlot_.reset(slot);
    r = sd_bus_request_name(bus_.get(), kBusName, 0);
    if (r < 0) {
        error = std::string("cannot own \"") + kBusName + "\" on the session bus: " +
                (r == -EEXIST ? "another program owns it" : std::strerror(-r));
        return false;
    }
    publish();
    return true;
}

void SessionInterface::publish() {
    if (!app_) return;
    std::vector<std::string> now;
    std::vector<const char*> changed;
    for (std::size_t i = 0; i < std::size(kProperties); ++i) {
        now.push_back(textOf(kProperties[i].value(*app_)));
        if (i < published_.size() && published_[i] != now[i]) {
            changed.push_back(kProperties[i].name);
        }
    }
    published_ = std::move(now);
    if (changed.empty()) return;
    changed.push_back(nullptr);
    sd_bus_emit_properties_changed_strv(bus_.get(), kObjectPath, kInterface,
                                        const_cast<char**>(changed.data()));
}

int SessionInterface::getProperty(sd_bus* bus, const char*, const char*, const char* property,
                                  sd_bus_message* reply, void* self, sd_bus_error*) {
    auto* session = static_cast<SessionInterface*>(self);
    return CallbackGuard::run(sd_bus_get_event(bus), "a property", [&]() -> int {
        for (const auto& entry : kProperties) {
            if (std::strcmp(entry.name, property) == 0) {
                return append(reply, entry.value(*session->app_));
            }
        }
        return -ENOENT;
    });
}

int SessionInterface::onSetting(sd_bus_message* message, void* self, sd_bus_error* error) {
    auto* session = static_cast<SessionInterface*>(self);
    return CallbackGuard::run(message, "a settings change", [&]() -> int {
        // SetKeep(low, high), SetLimit(on) or SetDischargeTo(percent); (0, 0) and 0 remove
        // the setting.
        const std::string member = sd_bus_message_get_member(message);
        std::uint32_t first = 0;
        std::uint32_t second = 0;
        int on = 0;
        SettingChange change;
        int r = 0;
        if (member == "SetKeep") {
            r = sd_bus_message_read(message, "uu", &first, &second);
            change = {"keep", std::nullopt};
            if (first != 0 || second != 0) {
                change.second = std::to_string(first) + "-" + std::to_string(second);
            }
        } else if (member == "SetLimit") {
            r = sd_bus_message_read(message, "b", &on);
            change = {"limit", on ? "on" : "off"};
        } else {
            r = sd_bus_message_read(message, "u", &first);
            change = {"discharge-to", std::nullopt};
            if (first != 0) change.second = std::to_string(first);
        }
        if (r < 0) return r;
        if (auto refusal = session->app_->change({change})) {
            return sd_bus_error_set(error,
                                    refusal->badValue ? SD_BUS_ERROR_INVALID_ARGS : kNotSavedError,
                                    refusal->why.c_str());
        }
        return sd_bus_reply_method_return(message, "");
    });
}

int SessionInterface::onChargeToFullOnce(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* session = static_cast<SessionInterface*>(self);
    return CallbackGuard::run(message, "a full charge", [&]() -> int {
        const char* outcome = "started";
        switch (session->app_->chargeToFullOnce()) {
            case BatteryApp::FullOnce::Started:
                break;
            case BatteryApp::FullOnce::NothingHeld:
                outcome = "nothing-held";
                break;
            case BatteryApp::FullOnce::AlreadyFull:
                outcome = "already-full";
                break;
        }
        return sd_bus_reply_method_return(message, "s", outcome);
    });
}

}  // namespace ampwarden::ctl
