#pragma once

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/PosixProcessRunner.h"

namespace ampwarden::test {

// A dbus-daemon of our own. While it lives, DBUS_SYSTEM_BUS_ADDRESS points at it, so
// sd_bus_open_system() reaches it. The daemon and its mock get SIGKILL when the test process
// dies, however it dies: none is left behind.
class PrivateBus {
  public:
    PrivateBus() {
        // The session configuration lets the one user the tests run as own, send and receive
        // anything. Not --fork, which would outlive us. Through exec the shell's pid becomes
        // the daemon's; the daemon prints its address once it listens.
        daemon_ = popen(
            "echo $$; exec setpriv --pdeathsig KILL dbus-daemon --session --nofork "
            "--nosyslog --print-address=1",
            "re");
        char pid[32] = "", address[1024] = "";
        if (daemon_ && fgets(pid, sizeof pid, daemon_) && fgets(address, sizeof address, daemon_)) {
            pid_ = atoi(pid);
            address_ = address;
        }
        if (!address_.ends_with('\n')) address_.clear();  // the daemon ended before listening
        if (running()) {
            address_.pop_back();
            setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        }
    }
    ~PrivateBus() {
        if (mock_) mock_->terminate();
        if (pid_ > 0) kill(pid_, SIGTERM);
        if (daemon_) pclose(daemon_);
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool running() const { return !address_.empty(); }

    // Runs one mock service on the bus for as long as the bus lives.
    bool startMock(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL"});
        mock_ = runner_.start(argv);
        return mock_ != nullptr;
    }

  private:
    FILE* daemon_ = nullptr;
    pid_t pid_ = -1;
    std::string address_;
    PosixProcessRunner runner_;
    std::unique_ptr<ChildProcess> mock_;
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
