#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/PosixProcessRunner.h"

namespace ampwarden::test {

// argv run so that the kernel kills it when the test process dies, however it dies: a crashed
// or timed-out test must not leave a bus daemon or a mock behind.
inline std::vector<std::string> diesWithTest(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL"});
    return argv;
}

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
        // Not --fork: a forked daemon would outlive us. It prints its address once it listens.
        address_ = startDaemon(diesWithTest({"dbus-daemon", "--config-file=" + config_, "--nofork",
                                             "--nosyslog", "--print-address=1"}));
        // Read once at start: gone now, it cannot be left behind by a killed test either.
        std::filesystem::remove(config_);
        if (!address_.empty()) setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~PrivateBus() {
        for (auto& mock : mocks_) mock->terminate();
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            PosixProcessRunner::waitFor(daemon_);
        }
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool running() const { return !address_.empty(); }

    // Runs a mock service on the bus for as long as the bus lives.
    bool startMock(const std::vector<std::string>& argv) {
        auto mock = runner_.start(diesWithTest(argv));
        if (!mock) return false;
        mocks_.push_back(std::move(mock));
        return true;
    }

  private:
    // Starts the daemon with its standard output on a pipe; its first line, or "" when it
    // ended (or could not start) before writing one.
    std::string startDaemon(const std::vector<std::string>& argv) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return "";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&daemon_, args[0], &actions, nullptr, args.data(), environ) != 0) {
            daemon_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        return c == '\n' ? line : "";
    }

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
