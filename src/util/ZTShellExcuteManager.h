#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/ProcessRunner.h"

namespace ampwarden {

// Runs a shell command line through "/bin/bash -c", synchronously on the caller's thread:
// standard output is captured, standard input and error stay the helper's. There is no
// timeout; a command that never ends blocks the caller. `processes` must outlive the object.
class ZTShellExcuteManager {
  public:
    explicit ZTShellExcuteManager(ProcessRunner& processes) : processes_(processes) {}

    // What the command printed, as UTF-8; none when bash could not be started or the output
    // is not valid UTF-8. A command that prints nothing gives the empty string.
    std::optional<std::string> excuteCmd(const std::string& commandLine);

    // The command's exit status; 100 when bash could not be started.
    std::int32_t excuteRMCmd(const std::string& commandLine);

    static constexpr std::int32_t kLaunchFailedStatus = 100;

  private:
    std::optional<ProcessResult> runThroughBash(const std::string& commandLine);

    ProcessRunner& processes_;
};

// true when `bytes` is well-formed UTF-8 (no overlongs, no surrogates, nothing past U+10FFFF).
bool isValidUtf8(const std::string& bytes);

}  // namespace ampwarden
