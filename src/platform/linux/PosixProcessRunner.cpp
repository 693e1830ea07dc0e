#include "platform/linux/PosixProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/UniqueFd.h"

extern char** environ;

namespace ampwarden {

namespace {

// Children whose handle went while they still ran. Each is reaped, without waiting, at the
// next start or run, so a dropped handle leaves at most a short-lived zombie behind.
std::vector<pid_t>& orphans() {
    static std::vector<pid_t> pids;
    return pids;
}

void reapOrphans() {
    std::erase_if(orphans(), [](pid_t pid) {
        int waitStatus = 0;
        return waitpid(pid, &waitStatus, WNOHANG) != 0;
    });
}

class PosixChildProcess : public ChildProcess {
  public:
    explicit PosixChildProcess(pid_t pid) : pid_(pid) {}
    ~PosixChildProcess() override {
        if (running()) orphans().push_back(pid_);
    }
    PosixChildProcess(const PosixChildProcess&) = delete;
    PosixChildProcess& operator=(const PosixChildProcess&) = delete;

    bool running() override {
        if (status_) return false;
        int waitStatus = 0;
        const pid_t r = waitpid(pid_, &waitStatus, WNOHANG);
        if (r == 0) return true;
        status_ = r == pid_ ? PosixProcessRunner::statusOf(waitStatus) : -1;
        return false;
    }

    void terminate() override {
        if (!running()) return;
        kill(pid_, SIGTERM);
        status_ = PosixProcessRunner::waitFor(pid_);
    }

    int wait() override {
        if (!status_) status_ = PosixProcessRunner::waitFor(pid_);
        return *status_;
    }

  private:
    pid_t pid_;
    std::optional<int> status_;
};

// posix_spawn wants mutable C strings that end in a null pointer.
std::vector<char*> cArguments(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    return args;
}

}  // namespace

int PosixProcessRunner::statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

int PosixProcessRunner::waitFor(pid_t pid) {
    int waitStatus = 0;
    pid_t r;
    do {
        r = waitpid(pid, &waitStatus, 0);
    } while (r < 0 && errno == EINTR);
    return r == pid ? statusOf(waitStatus) : -1;
}

pid_t PosixProcessRunner::spawn(const std::vector<std::string>& argv, int stdoutFd) {
    if (argv.empty()) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    auto args = cArguments(argv);
    const int r = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return r == 0 ? pid : -1;
}

std::string PosixProcessRunner::drain(int fd) {
    std::string output;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return output;
        }
    }
}

std::optional<ProcessResult> PosixProcessRunner::run(const std::vector<std::string>& argv) {
    reapOrphans();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    const pid_t pid = spawn(argv, writeEnd.get());
    // Our copy of the write end must go, or the read below never sees the end of the output.
    writeEnd.reset();
    if (pid < 0) return std::nullopt;
    ProcessResult result;
    // Drain first: a child that fills the pipe would never exit while we waited for it.
    result.output = drain(readEnd.get());
    result.status = waitFor(pid);
    return result;
}

std::unique_ptr<ChildProcess> PosixProcessRunner::start(const std::vector<std::string>& argv) {
    reapOrphans();
    const pid_t pid = spawn(argv, -1);
    if (pid < 0) return nullptr;
    return std::make_unique<PosixChildProcess>(pid);
}

}  // namespace ampwarden
