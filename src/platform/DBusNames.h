#pragma once

// Where the notification channel lives on the system bus.
namespace ampwarden::dbus {
inline constexpr const char* kObjectPath = "/lumora/Notifications";
inline constexpr const char* kInterface = "lumora.Notifications";
inline constexpr const char* kDarwinSignal = "Darwin";            // (s) a command name
inline constexpr const char* kDistributedSignal = "Distributed";  // (sa{sv}) an answer
}  // namespace ampwarden::dbus
