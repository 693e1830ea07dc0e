#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace ampwarden::ctl {

// What the user asked the app to hold. Every field is optional: a setting nobody made changes
// nothing on the machine.
struct BatterySettings {
    std::optional<bool> limit;       // the helper's charge limit on or off
    std::optional<int> keepLow;      // resume charging at or below this percentage
    std::optional<int> keepHigh;     // stop charging at or above this percentage
    std::optional<int> dischargeTo;  // on mains, discharge down to this percentage

    bool holdsLevel() const { return keepHigh.has_value() || dischargeTo.has_value(); }
    bool any() const { return limit.has_value() || holdsLevel(); }
    bool operator==(const BatterySettings&) const = default;
};

// One setting by name, as the file and the command line both spell it ("limit", "keep",
// "discharge-to"), with its text value.
using SettingText = std::pair<std::string, std::string>;

// Applies one setting to `settings`; an error text (one line, no program name) when the name
// or the value is wrong, empty on success. "keep" and "discharge-to" replace each other: one
// names the level to hold, and holding two levels at once cannot be done.
std::string applySetting(BatterySettings& settings, const SettingText& setting);

// Parses the settings file's text: "key = value" lines; a '#' starts a comment, on a line of
// its own or after a value, and blank lines are skipped. Errors name the line number.
std::variant<BatterySettings, std::string> parseSettingsFile(const std::string& text);

// The settings file's path: $XDG_CONFIG_HOME/lumora/battery.conf, else ~/.config/...; empty
// when neither is known.
std::string settingsFilePath();

// The most a settings file may hold; a few lines are all it needs.
inline constexpr long kMostSettingsBytes = 4096;

// Reads and parses the file at `path`; a missing file is no settings at all. Anything but a
// regular file of at most kMostSettingsBytes is an error.
std::variant<BatterySettings, std::string> loadSettingsFile(const std::string& path);

// One line describing the settings, as status and the app's log show them.
std::string describeSettings(const BatterySettings& settings);

}  // namespace ampwarden::ctl
