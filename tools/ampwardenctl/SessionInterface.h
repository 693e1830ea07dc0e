#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ampwardenctl/BatteryApp.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden::ctl {

// The battery app on the user's session bus, for desktop widgets, shell extensions and
// scripts: it owns "lumora.Battery" there and serves the interface "lumora.Battery1" at
// /lumora/Battery — what the app holds and why, the battery, the settings (each property
// announces its changes), and methods that change a setting at once and keep it in the
// settings file. The description is packaging/dbus/lumora.Battery1.xml.
class SessionInterface {
  public:
    static constexpr const char* kBusName = "lumora.Battery";
    static constexpr const char* kObjectPath = "/lumora/Battery";
    static constexpr const char* kInterface = "lumora.Battery1";
    // A change the settings file could not keep.
    static constexpr const char* kNotSavedError = "lumora.Battery1.Error.NotSaved";

    // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus) on
    // `loop`; none when there is none, `error` saying why.
    static std::unique_ptr<SessionInterface> connect(sd_event* loop, std::string& error);
    ~SessionInterface();
    SessionInterface(const SessionInterface&) = delete;
    SessionInterface& operator=(const SessionInterface&) = delete;

    sd_bus* bus() const { return bus_.get(); }

    // Serves `app`, which must outlive this object, and owns the name; false when the name is
    // taken or the object cannot be added (`error` says why).
    bool serve(BatteryApp& app, std::string& error);

    // Announces every property whose value differs from what was last announced.
    void publish();

  private:
    SessionInterface() = default;

    static int getProperty(sd_bus* bus, const char* path, const char* interface,
                           const char* property, sd_bus_message* reply, void* self,
                           sd_bus_error* error);
    static int onSetting(sd_bus_message* message, void* self, sd_bus_error* error);
    static int onChargeToFullOnce(sd_bus_message* message, void* self, sd_bus_error* error);

    BatteryApp* app_ = nullptr;
    std::vector<std::string> published_;  // each property's value as last announced, in order
    sd::BusPtr bus_;
    sd::SlotPtr objectSlot_;
};

}  // namespace ampwarden::ctl
