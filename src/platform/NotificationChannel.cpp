#include "platform/NotificationChannel.h"

#include <type_traits>

namespace ampwarden {

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
