#pragma once

// The helper with everything it talks to, for the benchmarks that measure it as a whole: a
// private dbus-daemon with a system-like policy, python3-dbusmock's logind with an active
// session on seat0, the SMC emulator daemon and the helper itself, all in a scratch folder
// that goes away with the rig. The benchmark's own environment is pointed at that bus and
// emulator (DBUS_SYSTEM_BUS_ADDRESS, LUMORA_SMC_EMULATOR), so every connection it opens and
// every child it starts stays inside the rig. Runs as root, like the helper's service.
//
// Header only: every bench/*.cpp is a program of its own.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/DBusNames.h"
#include "platform/linux/DBusNotificationChannel.h"
#include "platform/linux/SdPointers.h"
#include "platform/linux/UniqueFd.h"
#include "protocol/NotificationNames.h"

extern char** environ;

namespace ampwarden::bench {

inline double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline void sleepSeconds(double seconds) {
    const auto whole = static_cast<time_t>(seconds);
    timespec ts{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Takes "--NAME=VALUE" or "--NAME VALUE" out of argv (so the benchmark library does not see
// it); empty when absent.
inline std::string takeOption(int& argc, char** argv, const std::string& name) {
    const std::string flag = "--" + name;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        int used = 0;
        std::string value;
        if (arg.rfind(flag + "=", 0) == 0) {
            value = arg.substr(flag.size() + 1);
            used = 1;
        } else if (arg == flag && i + 1 < argc) {
            value = argv[i + 1];
            used = 2;
        }
        if (used == 0) continue;
        for (int j = i; j + used <= argc; ++j) argv[j] = argv[j + used];
        argc -= used;
        return value;
    }
    return {};
}

// The programs come from --bin-dir, or else from the folder this benchmark runs from: both
// land in <build>/bin.
inline std::string binDirectory(int& argc, char** argv) {
    std::string dir = takeOption(argc, argv, "bin-dir");
    if (!dir.empty()) return dir;
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path().string();
}

// Diagnostics of the bench's own bus connections: failures only, on standard error.
class StderrDiagnostics : public Diagnostics {
  public:
    void systemLog(const std::string& line) override { std::cerr << line << '\n'; }
    void standardOutput(const std::string& line) override { std::cerr << line << '\n'; }
};

// A program of the rig, in a session of its own, its standard output and error in log files.
// Stopped with SIGTERM (then SIGKILL after a grace period) when dropped, and killed by the
// kernel when the bench dies, so an interrupted run leaves no daemon behind.
class Child {
  public:
    Child(std::string name, const std::vector<std::string>& argv, const std::string& folder)
        : name_(std::move(name)),
          stdoutPath_(folder + "/" + name_ + ".stdout.log"),
          stderrPath_(folder + "/" + name_ + ".stderr.log") {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        std::vector<char*> args{const_cast<char*>("setpriv"), const_cast<char*>("--pdeathsig"),
                                const_cast<char*>("KILL")};
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    const std::string& name() const { return name_; }
    pid_t pid() const { return pid_; }
    const std::string& stdoutPath() const { return stdoutPath_; }

    bool running() {
        if (pid_ <= 0 || exited_) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) exited_ = true;
        return !exited_;
    }

    void stop(double graceSeconds = 3.0) {
        if (!running()) return;
        kill(pid_, SIGTERM);
        const double deadline = monotonicSeconds() + graceSeconds;
        while (running() && monotonicSeconds() < deadline) sleepSeconds(0.01);
        if (running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            exited_ = true;
        }
    }

    // Waits for the first complete line on standard output (a "ready" line).
    bool waitForOutputLine(double timeoutSeconds) {
        const double deadline = monotonicSeconds() + timeoutSeconds;
        while (monotonicSeconds() < deadline && running()) {
            std::ifstream out(stdoutPath_);
            std::string line;
            if (std::getline(out, line) && !out.eof()) return true;
            sleepSeconds(0.01);
        }
        return false;
    }

    void writeLogTail(std::ostream& out, std::size_t lines = 20) const {
        for (const auto& path : {stdoutPath_, stderrPath_}) {
            std::ifstream in(path);
            std::vector<std::string> all;
            for (std::string line; std::getline(in, line);) all.push_back(line);
            out << "--- " << path << " (" << all.size() << " lines)\n";
            const std::size_t first = all.size() > lines ? all.size() - lines : 0;
            for (std::size_t i = first; i < all.size(); ++i) out << all[i] << '\n';
        }
    }

  private:
    std::string name_;
    std::string stdoutPath_;
    std::string stderrPath_;
    pid_t pid_ = -1;
    bool exited_ = false;
};

// The main app's side of the channel, driven from the calling thread: posts commands and counts
// the answers that come back, by name. Owning "lumora.Battery" makes it the running main app.
class BusClient {
  public:
    BusClient() {
        sd_bus* raw = nullptr;
        if (sd_bus_open_system(&raw) < 0) return;
        bus_.reset(raw);
        channel_ = std::make_unique<DBusNotificationChannel>(raw, log_);
        channel_->addDistributedObserver(
            [this](const std::string& name, const NotificationDictionary& dictionary) {
                auto& answer = answers_[name];
                ++answer.count;
                answer.last = dictionary;
            });
    }

    bool connected() const { return bus_ != nullptr; }
    sd_bus* bus() const { return bus_.get(); }

    void post(const std::string& name) { channel_->postDarwinNotification(name); }

    std::uint64_t count(const std::string& name) const {
        const auto found = answers_.find(name);
        return found == answers_.end() ? 0 : found->second.count;
    }

    // The dictionary of the latest answer of that name (empty when none came).
    NotificationDictionary last(const std::string& name) const {
        const auto found = answers_.find(name);
        return found == answers_.end() ? NotificationDictionary{} : found->second.last;
    }

    // Reads the bus until `count` answers named `name` have come, or the time is up.
    bool waitForCount(const std::string& name, std::uint64_t wanted, double timeoutSeconds) {
        const double deadline = monotonicSeconds() + timeoutSeconds;
        while (count(name) < wanted) {
            const int r = sd_bus_process(bus_.get(), nullptr);
            if (r < 0) return false;
            if (r > 0) continue;
            const double left = deadline - monotonicSeconds();
            if (left <= 0) return false;
            sd_bus_wait(bus_.get(), static_cast<std::uint64_t>(left * 1e6) + 1);
        }
        return true;
    }

    // Posts a command and waits for its answer.
    bool ask(const std::string& command, const std::string& answer, double timeoutSeconds = 5.0) {
        const std::uint64_t wanted = count(answer) + 1;
        post(command);
        return waitForCount(answer, wanted, timeoutSeconds);
    }

    bool claimName(const char* name) { return sd_bus_request_name(bus_.get(), name, 0) >= 0; }

    bool nameHasOwner(const char* name) {
        sd::BusError error;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(bus_.get(), "org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "NameHasOwner", error.get(), &reply, "s", name);
        sd::MessagePtr owned(reply);
        int has = 0;
        return r >= 0 && sd_bus_message_read(reply, "b", &has) >= 0 && has != 0;
    }

    // An active session of "alice" on seat0 in the fake logind, so the helper has a console
    // user and starts at once.
    bool addActiveSession() {
        sd::BusError error;
        sd_bus_message* reply = nullptr;
        const int r =
            sd_bus_call_method(bus_.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.DBus.Mock", "AddSession", error.get(), &reply,
                               "ssusb", "c1", "seat0", 1000u, "alice", 1);
        sd::MessagePtr owned(reply);
        if (r < 0) std::cerr << "AddSession: " << error.message() << '\n';
        return r >= 0;
    }

  private:
    struct Answers {
        std::uint64_t count = 0;
        NotificationDictionary last;
    };

    StderrDiagnostics log_;
    // Declared after the connection, so the channel goes first.
    sd::BusPtr bus_;
    std::unique_ptr<DBusNotificationChannel> channel_;
    std::map<std::string, Answers> answers_;
};

class Rig {
  public:
    explicit Rig(std::string binDir) : binDir_(std::move(binDir)) {
        char pattern[] = "/tmp/ampwarden-bench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) folder_ = pattern;
    }
    ~Rig() {
        client_.reset();
        while (!children_.empty()) children_.pop_back();  // the helper first, the bus last
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Starts everything and waits for the helper's start-up answer; the error text when some
    // part did not come up.
    std::string start() {
        if (geteuid() != 0) return "run as root: the helper is a root service";
        if (folder_.empty()) return "cannot create a scratch folder";
        for (const char* program : {"ampwarden", "ampwarden-smc-emulator"}) {
            if (access(programPath(program).c_str(), X_OK) != 0) {
                return programPath(program) + " is missing: build it, or pass --bin-dir";
            }
        }
        const std::string busSocket = folder_ + "/system_bus_socket";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + busSocket).c_str(), 1);
        setenv("LUMORA_SMC_EMULATOR", (folder_ + "/smc-emulator.sock").c_str(), 1);
        // Nothing here uninstalls, but a stray command must not touch the real install.
        setenv("AMPWARDEN_UNINSTALL_ROOT", (folder_ + "/install-root").c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");

        if (auto error = startBus(busSocket); !error.empty()) return error;
        if (auto error = startLogind(); !error.empty()) return error;
        emulator_ = &spawn("smc-emulator", {programPath("ampwarden-smc-emulator"), "--socket",
                                            getenv("LUMORA_SMC_EMULATOR")});
        if (!emulator_->waitForOutputLine(10)) return "the SMC emulator did not say it was ready";
        const std::uint64_t started = client_->count(names::kGlobalDaemonLoadStatusAnswer) + 1;
        helper_ = &spawn("helper", {programPath("ampwarden")});
        if (!client_->waitForCount(names::kGlobalDaemonLoadStatusAnswer, started, 10)) {
            return "the helper did not post its start-up answer";
        }
        return {};
    }

    BusClient& client() { return *client_; }
    Child& helper() { return *helper_; }
    // The bus daemon, the first child started.
    pid_t busPid() const { return children_.empty() ? -1 : children_.front()->pid(); }
    pid_t emulatorPid() const { return emulator_ == nullptr ? -1 : emulator_->pid(); }

    void writeLogs(std::ostream& out) const {
        for (const auto& child : children_) {
            out << "----- " << child->name() << '\n';
            child->writeLogTail(out);
        }
    }

  private:
    std::string programPath(const char* name) const { return binDir_ + "/" + name; }

    Child& spawn(const std::string& name, const std::vector<std::string>& argv) {
        children_.push_back(std::make_unique<Child>(name, argv, folder_));
        return *children_.back();
    }

    // The end-to-end tests' bus: a stock system bus's rules plus the helper's installed policy,
    // so the daemon does the same policy work per message as on a real machine.
    std::string startBus(const std::string& socket) {
        const std::string config = AMPWARDEN_TEST_BUS_CONFIG;
        Child& daemon =
            spawn("dbus-daemon", {"dbus-daemon", "--nofork", "--config-file=" + config,
                                  "--address=unix:path=" + socket, "--print-address=1"});
        if (!daemon.waitForOutputLine(10)) return "dbus-daemon did not start";
        client_ = std::make_unique<BusClient>();
        return client_->connected() ? "" : "cannot connect to the private bus";
    }

    std::string startLogind() {
        spawn("logind", {"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"});
        const double deadline = monotonicSeconds() + 10;
        while (!client_->nameHasOwner("org.freedesktop.login1")) {
            if (monotonicSeconds() > deadline) return "the fake logind did not appear on the bus";
            sleepSeconds(0.02);
        }
        return client_->addActiveSession() ? "" : "cannot add a session to the fake logind";
    }

    std::string binDir_;
    std::string folder_;
    std::vector<std::unique_ptr<Child>> children_;
    std::unique_ptr<BusClient> client_;
    Child* helper_ = nullptr;
    Child* emulator_ = nullptr;
};

// Starts the rig, or says why not (with the logs) and returns null.
inline std::unique_ptr<Rig> startRig(const std::string& binDir) {
    auto rig = std::make_unique<Rig>(binDir);
    const std::string error = rig->start();
    if (error.empty()) return rig;
    std::cerr << "cannot set up the helper: " << error << '\n';
    rig->writeLogs(std::cerr);
    return nullptr;
}

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"); 0 when it cannot be read.
inline std::uint64_t statusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
    }
    return 0;
}

// Drops root for `uid` (and the group of the same number), for a child that acts as a user.
inline bool becomeUser(uid_t uid) {
    return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

// Forks a child that runs `body` (which must not return) and dies with the bench.
template <typename Body>
pid_t forkChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        body();
    }
    return pid;
}

// A child's life as another user with `connections` connections of its own: posts `burst`
// copies of `command` on each, every 0.2 s, until its parent closes (or writes to) `stopFd`.
[[noreturn]] inline void postFromConnections(int stopFd, uid_t uid, int connections, int burst,
                                             const char* command) {
    if (!becomeUser(uid)) _exit(1);
    std::vector<sd::BusPtr> buses;
    for (int i = 0; i < connections; ++i) {
        sd_bus* raw = nullptr;
        if (sd_bus_open_system(&raw) < 0) _exit(2);
        buses.emplace_back(raw);
    }
    pollfd stop{stopFd, POLLIN, 0};
    while (poll(&stop, 1, 200) == 0) {
        for (auto& bus : buses) {
            for (int i = 0; i < burst; ++i) {
                sd_bus_emit_signal(bus.get(), dbus::kObjectPath, dbus::kInterface,
                                   dbus::kDarwinSignal, "s", command);
            }
            sd_bus_flush(bus.get());
        }
    }
    _exit(0);
}

// Lets other users' connections reach the bus socket in the rig's private folder. The error
// text, if any.
inline std::string openBusFolder() {
    const char* address = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string prefix = "unix:path=";
    if (address == nullptr || std::string(address).rfind(prefix, 0) != 0) return "no bus address";
    const auto folder = std::filesystem::path(std::string(address).substr(prefix.size()));
    return chmod(folder.parent_path().c_str(), 0755) == 0 ? "" : "cannot open the rig's folder";
}

// A benchmark program's start: its arguments (--bin-dir and the benchmark library's), then the
// rig; null, having said why, when either fails.
inline std::unique_ptr<Rig> startFromArguments(int& argc, char** argv) {
    const std::string binDir = binDirectory(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return nullptr;
    return startRig(binDir);
}

// Claims "lumora.Battery" as the main app and opens the SMC through the helper, so that status
// queries really read keys and the watchdog sees the main app running. The error text, if any.
inline std::string openAsMainApp(BusClient& client) {
    if (!client.claimName(names::kMainAppId)) return "cannot own the main app's name";
    if (!client.ask(names::kOpenSMC, names::kOpenSMCAnswer)) return "no answer to OpenSMC";
    const auto opened = client.last(names::kOpenSMCAnswer);
    const auto state = opened.find(names::kSmcOpenCloseKey);
    if (state == opened.end() || state->second != NotificationValue{std::string(names::kOpen)}) {
        return "the helper could not open the emulated SMC";
    }
    return {};
}

constexpr const char* kEchoCommand = "AmpwardenBench_Echo";
constexpr const char* kEchoAnswer = "AmpwardenBench_Echo_callback";

// Answers kEchoCommand at once with {"smcStatus": 1 as a 64-bit integer}, as the helper answers
// the SMC-status command. Like the helper it is a process of its own with its own connection and
// sd-event loop, and answers through the same channel code. Forked before the benchmark has any
// thread; the child leaves with _exit, so the parent's rig is not torn down twice.
class EchoResponder {
  public:
    EchoResponder() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return;
        UniqueFd readEnd(ends[0]);
        UniqueFd writeEnd(ends[1]);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // Not outliving a bench that is interrupted (nor one that already was).
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(1);
            readEnd.reset();
            _exit(serve(writeEnd.get()));
        }
        writeEnd.reset();
        pollfd ready{readEnd.get(), POLLIN, 0};
        char byte = 0;
        ready_ = pid_ > 0 && poll(&ready, 1, 10000) == 1 && read(readEnd.get(), &byte, 1) == 1;
    }
    ~EchoResponder() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    EchoResponder(const EchoResponder&) = delete;
    EchoResponder& operator=(const EchoResponder&) = delete;

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }

  private:
    // The child's life: says it is ready on `readyFd`, then answers until SIGTERM.
    static int serve(int readyFd) {
        sd_event* rawEvent = nullptr;
        sd_bus* rawBus = nullptr;
        const bool opened = sd_event_new(&rawEvent) >= 0 && sd_bus_open_system(&rawBus) >= 0;
        sd::EventPtr event(rawEvent);
        sd::BusPtr bus(rawBus);
        // A signal source without a handler ends the loop.
        if (!opened || sd_bus_attach_event(rawBus, rawEvent, SD_EVENT_PRIORITY_NORMAL) < 0 ||
            sd_event_add_signal(rawEvent, nullptr, SIGTERM | SD_EVENT_SIGNAL_PROCMASK, nullptr,
                                nullptr) < 0) {
            return 1;
        }
        StderrDiagnostics log;
        DBusNotificationChannel channel(rawBus, log);
        channel.addDarwinObserver(kEchoCommand, [&channel](const std::string&) {
            channel.postDistributedNotification(kEchoAnswer,
                                                {{names::kSmcStatusKey, std::int64_t{1}}});
        });
        if (::write(readyFd, "!", 1) != 1) return 1;
        return sd_event_loop(rawEvent) < 0 ? 1 : 0;
    }

    pid_t pid_ = -1;
    bool ready_ = false;
};

// Runs the registered benchmarks and then `summary`, unless setting up failed (`setupError`);
// the program's exit code.
inline int runBenchmarks(const Rig& rig, const std::string& setupError,
                         const std::function<void()>& summary) {
    if (!setupError.empty()) {
        std::cerr << "cannot set up the benchmark: " << setupError << '\n';
        rig.writeLogs(std::cerr);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    summary();
    return 0;
}

// The whole life of a bench that acts as the main app beside other users: starts the rig into
// `rig`, opens its bus to them, claims the app's name and opens the SMC, runs the benchmarks
// and `summary`; the exit code.
inline int runAsMainAppAmongUsers(int argc, char** argv, Rig*& rig,
                                  const std::function<void()>& summary) {
    auto started = startFromArguments(argc, argv);
    if (!started) return 1;
    rig = started.get();
    std::string error = openBusFolder();
    if (error.empty()) error = openAsMainApp(rig->client());
    const int code = runBenchmarks(*rig, error, summary);
    rig = nullptr;
    return code;
}

}  // namespace ampwarden::bench
