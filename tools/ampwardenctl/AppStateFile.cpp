#include "ampwardenctl/AppStateFile.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace ampwarden::ctl {
namespace {

constexpr const char* kTail = "/lumora/battery-app.state";

std::optional<int> level(const std::string& text) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > 100) return std::nullopt;
    return static_cast<int>(value);
}

std::optional<bool> mains(const std::string& text) {
    if (text == "1" || text == "0") return text == "1";
    return std::nullopt;
}

}  // namespace

AppStateFile::AppStateFile(std::string path) : path_(std::move(path)) {}

AppStateFile::~AppStateFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

void AppStateFile::write(const AppSnapshot& snapshot) const {
    if (path_.empty()) return;
    ::mkdir(path_.substr(0, path_.rfind('/')).c_str(), 0700);
    const std::string temporary = path_ + ".new";
    {
        const PowerReading& battery = snapshot.battery;
        std::ofstream file(temporary, std::ios::trunc);
        file << "pid=" << snapshot.pid << "\nsettings=" << snapshot.settings
             << "\nsource=" << snapshot.source
             << "\nlevel=" << (battery.level ? std::to_string(*battery.level) : "")
             << "\nmains=" << (battery.mains ? (*battery.mains ? "1" : "0") : "")
             << "\nstate=" << battery.state << "\nhelper=" << snapshot.helper
             << "\nholding=" << snapshot.holding << "\nwhy=" << snapshot.why << "\n";
    }
    // Renamed into place: status never reads a half-written file.
    std::rename(temporary.c_str(), path_.c_str());
}

std::string AppStateFile::defaultPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/') return "";
    return std::string(runtime) + kTail;
}

std::optional<AppSnapshot> AppStateFile::read(const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::map<std::string, std::string> values;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    // A file left by an app that was killed says nothing about now.
    const long pid = std::atol(values["pid"].c_str());
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
        return std::nullopt;
    }
    return AppSnapshot{pid,
                       values["settings"],
                       values["source"],
                       {level(values["level"]), mains(values["mains"]), values["state"]},
                       values["helper"],
                       values["holding"],
                       values["why"]};
}

std::optional<AppSnapshot> AppStateFile::find(const std::string& runUserDir) {
    auto found = read(defaultPath());
    if (found || ::geteuid() != 0) return found;
    if (const char* sudoUid = std::getenv("SUDO_UID")) {
        found = read(runUserDir + "/" + sudoUid + kTail);
        if (found) return found;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(runUserDir, error)) {
        found = read(entry.path().string() + kTail);
        if (found) return found;
    }
    return found;
}

}  // namespace ampwarden::ctl
