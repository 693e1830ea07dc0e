#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/PosixProcessRunner.h"

namespace ampwarden::test {

// A dbus-daemon of our own that lets anyone own, send and receive anything. While it lives,
// DBUS_SYSTEM_BUS_ADDRESS points at it, so sd_bus_open_system() reaches it.
class PrivateBus {
  public:
    PrivateBus() {
        std::ofstream(config_) << "<busconfig><listen>unix:tmpdir=/tmp</listen>"
                                  "<auth>EXTERNAL</auth><policy context=\"default\">"
                                  "<allow user=\"*\"/><allow own=\"*\"/>"
                                  "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                  "<allow eavesdrop=\"true\"/></policy></busconfig>";
        // With --fork the daemon answers once it accepts connections.
        const auto started = runner_.run({"dbus-daemon", "--config-file=" + config_, "--fork",
                                          "--nosyslog", "--print-address=1", "--print-pid=1"});
        std::istringstream lines(started ? started->output : "");
        if (lines >> address_ >> daemon_) setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~PrivateBus() {
        for (auto& mock : mocks_) mock->terminate();
        if (daemon_ > 0) kill(daemon_, SIGTERM);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        std::filesystem::remove(config_);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool running() const { return daemon_ > 0; }

    // Runs a mock service on the bus for as long as the bus lives.
    bool startMock(const std::vector<std::string>& argv) {
        auto mock = runner_.start(argv);
        if (!mock) return false;
        mocks_.push_back(std::move(mock));
        return true;
    }

  private:
    std::string config_ = "/tmp/ampwarden-bus-" + std::to_string(getpid()) + ".conf";
    PosixProcessRunner runner_;
    std::string address_;
    pid_t daemon_ = -1;
    std::vector<std::unique_ptr<ChildProcess>> mocks_;
};

// Runs the event loop until `done` holds or a generous guard expires; true when `done` held.
inline bool pumpUntil(sd_event* event, const std::function<bool()>& done) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > guard) return false;
        sd_event_run(event, 100000);
    }
    return true;
}

}  // namespace ampwarden::test
