#include "ampwardenctl/BatterySettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

}  // namespace

std::string applySetting(BatterySettings& settings, const SettingText& setting) {
    const auto& [name, value] = setting;
    if (name == "limit") {
        if (value != "on" && value != "off")
            return "limit takes 'on' or 'off', not '" + value + "'";
        settings.limit = value == "on";
        return "";
    }
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
    return "unknown setting '" + name + "' (known: limit, keep, discharge-to)";
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

std::string settingsFilePath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/') return std::string(config) + "/lumora/battery.conf";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.config/lumora/battery.conf";
    return "";
}

// Opened without blocking and read only when it is a regular file of a sensible size: a FIFO,
// a device (a link to /dev/zero) or a folder in its place is a clear error, never a wait or
// gigabytes read.
std::variant<BatterySettings, std::string> loadSettingsFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT || errno == ENOTDIR) return BatterySettings{};
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
    auto parsed = parseSettingsFile(text);
    if (auto* problem = std::get_if<std::string>(&parsed)) return path + ": " + *problem;
    return parsed;
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
