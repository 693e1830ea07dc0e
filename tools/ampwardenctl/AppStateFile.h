#pragma once

#include <optional>
#include <string>

#include "ampwardenctl/KeepDecision.h"

namespace ampwarden::ctl {

// What the running battery app publishes for `ampwardenctl status`.
struct AppSnapshot {
    long pid = 0;
    std::string settings;  // as describeSettings() says them
    std::string source;    // where the battery readings come from
    PowerReading battery;
    std::string helper;   // what the app knows of the helper
    std::string holding;  // holdName() of what it holds
    std::string why;
};

// The app's state file, $XDG_RUNTIME_DIR/lumora/battery-app.state: one key=value a line, the
// level a plain number and the mains 1 or 0 (blank when unknown). The app writes it whole on
// every change and removes it when it ends.
class AppStateFile {
  public:
    // An empty path writes nothing.
    explicit AppStateFile(std::string path);
    ~AppStateFile();
    AppStateFile(const AppStateFile&) = delete;
    AppStateFile& operator=(const AppStateFile&) = delete;

    void write(const AppSnapshot& snapshot) const;

    // This user's path; empty without an absolute XDG_RUNTIME_DIR.
    static std::string defaultPath();
    // None when there is no file or the process that wrote it is gone.
    static std::optional<AppSnapshot> read(const std::string& path);
    // The running app's state: this user's; for root (sudo keeps no XDG_RUNTIME_DIR) the sudo
    // user's, else any user's under `runUserDir` (/run/user).
    static std::optional<AppSnapshot> find(const std::string& runUserDir);

  private:
    std::string path_;
};

}  // namespace ampwarden::ctl
