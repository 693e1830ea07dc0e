#include "ampwardenctl/BatterySettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/linux/UniqueFd.h"

namespace ampwarden::ctl {
namespace {

std::optional<int> parsePercent(const std::string& text) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    int value = std::atoi(text.c_str());
    if (value > 100) return std::nullopt;
    return value;
}

std::string trim(const std::string& text) {
    auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

std::string applyKeep(BatterySettings& settings, const std::string& value) {
    auto dash = value.find('-');
    auto low = parsePercent(trim(value.substr(0, dash)));
    auto high =
        dash == std::string::npos ? std::nullopt : parsePercent(trim(value.substr(dash + 1)));
    if (!low || !high)
        return "keep takes LOW-HIGH in percent (for example 75-80), not '" + value + "'";
    if (*low >= *high) return "keep needs LOW below HIGH, not '" + value + "'";
    settings.keepLow = low;
    settings.keepHigh = high;
    settings.dischargeTo.reset();
    return "";
}

std::string applyOnOff(const std::string& name, const std::string& value, bool& to) {
    if (value != "on" && value != "off") return name + " takes 'on' or 'off', not '" + value + "'";
    to = value == "on";
    return "";
}

// The key of a settings line, without its value and comment; empty for a blank line.
std::string keyOf(const std::string& line) {
    const std::string text = line.substr(0, line.find('#'));
    return trim(text.substr(0, text.find('=')));
}

}  // namespace

std::string applySetting(BatterySettings& settings, const SettingText& setting) {
    const auto& [name, value] = setting;
    if (name == "limit") {
        bool on = false;
        std::string problem = applyOnOff(name, value, on);
        if (problem.empty()) settings.limit = on;
        return problem;
    }
    if (name == "notify") return applyOnOff(name, value, settings.notify);
    if (name == "notify-holds") return applyOnOff(name, value, settings.notifyHolds);
    if (name == "keep") return applyKeep(settings, value);
    if (name == "discharge-to") {
        auto percent = parsePercent(value);
        if (!percent || *percent < 1) {
            return "discharge-to takes a percentage from 1 to 100, not '" + value + "'";
        }
        settings.dischargeTo = percent;
        settings.keepLow.reset();
        settings.keepHigh.reset();
        return "";
    }
    return "unknown setting '" + name +
           "' (known: limit, keep, discharge-to, notify, notify-holds)";
}

std::string applyChange(BatterySettings& settings, const SettingChange& change) {
    const auto& [name, value] = change;
    if (value) return applySetting(settings, {name, *value});
    if (name == "limit") {
        settings.limit.reset();
    } else if (name == "keep") {
        settings.keepLow.reset();
        settings.keepHigh.reset();
    } else if (name == "discharge-to") {
        settings.dischargeTo.reset();
    } else {
        return "cannot remove the setting '" + name + "' (removable: limit, keep, discharge-to)";
    }
    return "";
}

std::variant<BatterySettings, std::string> parseSettingsFile(const std::string& text) {
    BatterySettings settings;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        // A '#' starts a comment anywhere: no value holds one.
        line = trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        auto equals = line.find('=');
        std::string problem = equals == std::string::npos
                                  ? "expected 'key = value'"
                                  : applySetting(settings, {trim(line.substr(0, equals)),
                                                            trim(line.substr(equals + 1))});
        if (!problem.empty()) return "line " + std::to_string(number) + ": " + problem;
    }
    return settings;
}

namespace {

// `file` in the app's folder under the XDG base directory `variable`, else under `fallback`
// in the home folder.
std::string userFile(const char* variable, const char* fallback, const char* file) {
    const char* base = std::getenv(variable);
    if (base && *base == '/') return std::string(base) + "/lumora/" + file;
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + fallback + "/lumora/" + file;
    return "";
}

}  // namespace

std::string settingsFilePath() { return userFile("XDG_CONFIG_HOME", "/.config", "battery.conf"); }

std::string fullOnceFilePath() {
    return userFile("XDG_STATE_HOME", "/.local/state", "charge-to-full-once");
}

namespace {

// Opened without blocking and read only when it is a regular file of a sensible size: a FIFO,
// a device (a link to /dev/zero) or a folder in its place is a clear error, never a wait or
// gigabytes read.
std::string readSettingsText(const std::string& path, std::string& out) {
    out.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT || errno == ENOTDIR) return "";
        return path + ": " + std::strerror(errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return path + ": " + std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return path + ": is a folder, not a settings file";
    if (!S_ISREG(info.st_mode)) return path + ": not a regular file";
    if (info.st_size > kMostSettingsBytes) {
        return path + ": larger than " + std::to_string(kMostSettingsBytes) +
               " bytes; not a settings file";
    }
    std::string text(static_cast<std::size_t>(kMostSettingsBytes) + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return path + ": " + std::strerror(errno);
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got > static_cast<std::size_t>(kMostSettingsBytes)) {
        return path + ": larger than " + std::to_string(kMostSettingsBytes) +
               " bytes; not a settings file";
    }
    text.resize(got);
    out = std::move(text);
    return "";
}

// Written beside the file and renamed over it, so a reader never sees half of it and a failed
// write leaves the old file whole.
std::string writeSettingsText(const std::string& path, const std::string& text) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (error) return path + ": cannot make its folder: " + error.message();
    const std::string temporary = path + ".new";
    // The file keeps the permissions its owner gave it.
    struct stat info {};
    const mode_t mode = ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.valid()) return temporary + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done < text.size() || ::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0 ||
        std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string problem = temporary + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return problem;
    }
    return "";
}

}  // namespace

std::variant<BatterySettings, std::string> loadSettingsFile(const std::string& path) {
    std::string text;
    std::string problem = readSettingsText(path, text);
    if (!problem.empty()) return problem;
    auto parsed = parseSettingsFile(text);
    if (auto* error = std::get_if<std::string>(&parsed)) return path + ": " + *error;
    return parsed;
}

std::string changeSettingsText(const std::string& text, const std::vector<SettingChange>& changes) {
    // Each level setting replaces the other, in the file as in the app.
    std::vector<SettingChange> all;
    for (const auto& change : changes) {
        all.push_back(change);
        if (change.second && (change.first == "keep" || change.first == "discharge-to")) {
            all.emplace_back(change.first == "keep" ? "discharge-to" : "keep", std::nullopt);
        }
    }
    auto find = [&all](const std::string& key) {
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            if (it->first == key) return &*it;
        }
        return static_cast<SettingChange*>(nullptr);
    };
    std::vector<std::string> written;
    std::string result;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string key = keyOf(line);
        const SettingChange* change = key.empty() ? nullptr : find(key);
        if (!change) {
            result += line + "\n";
            continue;
        }
        // A key given twice was the last one's; once changed, it is written once.
        const bool done = std::find(written.begin(), written.end(), key) != written.end();
        if (!change->second || done) continue;
        written.push_back(key);
        const auto hash = line.find('#');
        const std::string comment = hash == std::string::npos
                                        ? ""
                                        : line.substr(line.find_last_not_of(" \t", hash - 1) + 1);
        result += key + " = " + *change->second + comment + "\n";
    }
    for (const auto& [key, value] : all) {
        if (!value || std::find(written.begin(), written.end(), key) != written.end()) continue;
        if (find(key) != nullptr && find(key)->second != value) continue;  // a later change wins
        written.push_back(key);
        result += key + " = " + *value + "\n";
    }
    return result;
}

std::string changeSettingsFile(const std::string& path, const std::vector<SettingChange>& changes) {
    std::error_code error;
    // A link (a dotfiles folder) stays a link: the file it names is the one changed.
    std::string target = path;
    if (std::filesystem::is_symlink(path, error)) {
        target = std::filesystem::weakly_canonical(path, error).string();
        if (error) return path + ": " + error.message();
    }
    std::string text;
    std::string problem = readSettingsText(target, text);
    if (!problem.empty()) return problem;
    const std::string changed = changeSettingsText(text, changes);
    if (changed.size() > static_cast<std::size_t>(kMostSettingsBytes)) {
        return path + ": would grow larger than " + std::to_string(kMostSettingsBytes) + " bytes";
    }
    auto parsed = parseSettingsFile(changed);
    if (auto* bad = std::get_if<std::string>(&parsed)) return path + ": " + *bad;
    return writeSettingsText(target, changed);
}

std::string describeSettings(const BatterySettings& settings) {
    if (!settings.any()) return "nothing set";
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (settings.limit) add(std::string("limit ") + (*settings.limit ? "on" : "off"));
    if (settings.keepHigh) {
        add("keep " + std::to_string(*settings.keepLow) + "-" + std::to_string(*settings.keepHigh) +
            " %");
    }
    if (settings.dischargeTo) add("discharge to " + std::to_string(*settings.dischargeTo) + " %");
    return text;
}

}  // namespace ampwarden::ctl
