#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProcessRunner.h"

namespace ampwarden {

// Children through posix_spawn (the program is looked up in PATH when argv[0] has no slash).
// A child starts with an empty signal mask and default signal dispositions, whatever the
// helper blocks or ignores, and inherits no descriptor but its standard ones.
class PosixProcessRunner : public ProcessRunner {
  public:
    std::optional<ProcessResult> run(const std::vector<std::string>& argv) override;
    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv) override;

    // The exit status, or 128 + the signal that ended the child.
    static int statusOf(int waitStatus);
    // Waits for pid, retrying when a signal interrupts the wait; -1 when it cannot be waited for.
    static int waitFor(pid_t pid);

  private:
    // Spawns argv with `stdoutFd` (when >= 0) as its standard output; -1 on failure.
    static pid_t spawn(const std::vector<std::string>& argv, int stdoutFd);
    static std::string drain(int fd);
};

}  // namespace ampwarden
