#include "channel/Notifications.h"

#include <type_traits>

#include "platform/Platform.h"

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

void postDistributedNotification(const std::string& name,
                                 const NotificationDictionary& dictionary) {
    Platform::current().channel().postDistributedNotification(name, dictionary);
}

std::string describeDictionary(const NotificationDictionary& dictionary) {
    std::string text = "{";
    for (const auto& [key, value] : dictionary) {
        text += key + " = ";
        std::visit(
            [&text](const auto& v) {
                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
                    text += "\"" + v + "\"";
                } else {
                    text += std::to_string(v);
                }
            },
            value);
        text += "; ";
    }
    if (!dictionary.empty()) text.pop_back();
    return text + "}";
}

}  // namespace ampwarden
