#include "channel/Notifications.h"

namespace ampwarden {

void addDarwinObserver(NotificationChannel& channel, CommandGate& gate, const std::string& name,
                       DarwinCallback callback, CommandAccess access) {
    addSenderObserver(
        channel, gate, name,
        [callback = std::move(callback)](const std::string& arrived, const std::string&) {
            callback(arrived);
        },
        access);
}

void addSenderObserver(NotificationChannel& channel, CommandGate& gate, const std::string& name,
                       CommandCallback callback, CommandAccess access) {
    channel.addCommandObserver(name, [&gate, callback = std::move(callback), access](
                                         const std::string& arrived, const std::string& sender) {
        gate.submit(arrived, sender, access,
                    [callback, arrived, sender] { callback(arrived, sender); });
    });
}

}  // namespace ampwarden
