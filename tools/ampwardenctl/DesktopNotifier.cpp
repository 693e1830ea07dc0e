#include "ampwardenctl/DesktopNotifier.h"

#include <cstring>

#include "platform/linux/CallbackGuard.h"

namespace ampwarden::ctl {

struct DesktopNotifier::Pending {
    DesktopNotifier* notifier;
    std::string topic;
};

void DesktopNotifier::notify(const std::string& topic, const std::string& summary,
                             const std::string& body) {
    if (!bus_) return;
    auto* pending = new Pending{this, topic};
    sd_bus_slot* slot = nullptr;
    // Arguments: application, the notice it replaces, icon, summary, body, no actions, a
    // normal urgency, and the server's own time to show it.
    const int r = sd_bus_call_method_async(
        bus_, &slot, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "Notify", onReply, pending, "susssasa{sv}i", "Battery",
        shown_[topic], "battery", summary.c_str(), body.c_str(), 0, 1, "urgency", "y",
        std::uint8_t{1}, std::int32_t{-1});
    if (r < 0) {
        delete pending;
        if (!toldFailure_) log_.systemLog(std::string("cannot notify: ") + std::strerror(-r));
        toldFailure_ = true;
        return;
    }
    // The slot frees `pending` whenever it goes: with the reply, or with the bus.
    sd_bus_slot_set_destroy_callback(slot, [](void* data) { delete static_cast<Pending*>(data); });
    sd_bus_slot_set_floating(slot, 1);
}

int DesktopNotifier::onReply(sd_bus_message* reply, void* data, sd_bus_error*) {
    auto* pending = static_cast<Pending*>(data);
    return CallbackGuard::run(reply, "a notice's reply", [reply, pending] {
        DesktopNotifier& notifier = *pending->notifier;
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        std::uint32_t id = 0;
        if (!error && sd_bus_message_read(reply, "u", &id) > 0) {
            notifier.shown_[pending->topic] = id;
        } else if (!notifier.toldFailure_) {
            notifier.toldFailure_ = true;
            notifier.log_.systemLog(std::string("the desktop shows no notices: ") +
                                    (error && error->message ? error->message : "a bad reply"));
        }
    });
}

}  // namespace ampwarden::ctl
