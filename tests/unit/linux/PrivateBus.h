#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace ampwarden::test {

// A dbus-daemon of our own with a policy that lets anyone own, send and receive anything.
// While it lives, DBUS_SYSTEM_BUS_ADDRESS points at it, so sd_bus_open_system() reaches it.
class PrivateBus {
  public:
    PrivateBus() {
        char pattern[] = "/tmp/ampwarden-bus-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::ofstream(dir_ + "/bus.conf") << kConfig;
        address_ = startDaemon({"dbus-daemon", "--config-file=" + dir_ + "/bus.conf",
                                "--print-address", "--nofork", "--nosyslog"});
        if (!address_.empty()) setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~PrivateBus() {
        stop();
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool running() const { return !address_.empty(); }
    const std::string& address() const { return address_; }

    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Runs a program in the background (a mock service); its chatter on stdout is dropped.
    pid_t spawn(const std::vector<std::string>& argv) {
        const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const pid_t pid = spawnWithStdout(argv, devNull);
        if (devNull >= 0) close(devNull);
        return pid;
    }

  private:
    static constexpr const char* kConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
)";

    static pid_t spawnWithStdout(const std::vector<std::string>& argv, int stdoutFd) {
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        pid_t pid = -1;
        const int r = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        return r == 0 ? pid : -1;
    }

    // The daemon prints its address once it accepts connections.
    std::string startDaemon(const std::vector<std::string>& argv) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return {};
        pid_ = spawnWithStdout(argv, fds[1]);
        close(fds[1]);
        std::string line;
        char c = 0;
        while (pid_ > 0 && read(fds[0], &c, 1) == 1 && c != '\n') line += c;
        close(fds[0]);
        return line;
    }

    std::string dir_;
    std::string address_;
    pid_t pid_ = -1;
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
