#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ampwarden {

struct ProcessResult {
    int status = 0;      // the exit status, or 128 + signal number when killed by a signal
    std::string output;  // everything written to standard output, as raw bytes
};

// A child started without waiting for it. Destroying the handle does not stop the child; the
// runner reaps it later.
class ChildProcess {
  public:
    virtual ~ChildProcess() = default;
    virtual bool running() = 0;
    // Ends the child (SIGTERM) and reaps it.
    virtual void terminate() = 0;
    // Blocks until the child has exited; returns its status.
    virtual int wait() = 0;
};

class ProcessRunner {
  public:
    virtual ~ProcessRunner() = default;
    // Runs argv (argv[0] is the program's path) with standard output captured through a pipe,
    // drains the pipe to its end and only then waits for the exit. Standard input and error
    // stay the caller's. None when the program could not be started. Blocks the caller.
    virtual std::optional<ProcessResult> run(const std::vector<std::string>& argv) = 0;
    // Starts argv without capturing anything and returns at once; none when it could not start.
    virtual std::unique_ptr<ChildProcess> start(const std::vector<std::string>& argv) = 0;
};

}  // namespace ampwarden
