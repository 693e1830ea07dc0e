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
    bool notify = true;              // tell the desktop when something is wrong
    bool notifyHolds = false;        // and each time what the app holds changes

    bool holdsLevel() const { return keepHigh.has_value() || dischargeTo.has_value(); }
    bool any() const { return limit.has_value() || holdsLevel(); }
    bool operator==(const BatterySettings&) const = default;
};

// One setting by name, as the file and the command line both spell it ("limit", "keep",
// "discharge-to", "notify", "notify-holds"), with its text value.
using SettingText = std::pair<std::string, std::string>;

// A setting to change: its name, and its new text value or none to remove it.
using SettingChange = std::pair<std::string, std::optional<std::string>>;

// Applies one setting to `settings`; an error text (one line, no program name) when the name
// or the value is wrong, empty on success. "keep" and "discharge-to" replace each other: one
// names the level to hold, and holding two levels at once cannot be done.
std::string applySetting(BatterySettings& settings, const SettingText& setting);

// Applies one change to `settings`; removing "keep" or "discharge-to" holds no level, removing
// "limit" leaves the charge limit alone. An error text as applySetting() gives, empty on
// success.
std::string applyChange(BatterySettings& settings, const SettingChange& change);

// Parses the settings file's text: "key = value" lines; a '#' starts a comment, on a line of
// its own or after a value, and blank lines are skipped. Errors name the line number.
std::variant<BatterySettings, std::string> parseSettingsFile(const std::string& text);

// The settings file's path: $XDG_CONFIG_HOME/lumora/battery.conf, else ~/.config/...; empty
// when neither is known.
std::string settingsFilePath();

// Where the app notes a charge to full once: $XDG_STATE_HOME/lumora/charge-to-full-once, else
// ~/.local/state/...; empty when neither is known.
std::string fullOnceFilePath();

// The most a settings file may hold; a few lines are all it needs.
inline constexpr long kMostSettingsBytes = 4096;

// Reads and parses the file at `path`; a missing file is no settings at all. Anything but a
// regular file of at most kMostSettingsBytes is an error.
std::variant<BatterySettings, std::string> loadSettingsFile(const std::string& path);

// The settings file's text with `changes` made: a changed key's line keeps its place and its
// comment, a removed key's lines go, a new key is added at the end; every other line stays as
// it was. Setting "keep" removes "discharge-to" and the other way round, as they replace each
// other.
std::string changeSettingsText(const std::string& text, const std::vector<SettingChange>& changes);

// Makes `changes` in the file at `path` (created, with its folder, when missing). Returns an
// error text when it cannot be read, would not parse afterwards, or cannot be written, and
// then the file is as it was; empty on success. A link is followed: the file it names is
// replaced, the link kept.
std::string changeSettingsFile(const std::string& path, const std::vector<SettingChange>& changes);

// One line describing the settings, as status and the app's log show them.
std::string describeSettings(const BatterySettings& settings);

}  // namespace ampwarden::ctl
