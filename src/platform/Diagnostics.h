#pragma once

#include <string>

namespace ampwarden {

// The helper's two diagnostic destinations. Each call writes one line.
class Diagnostics {
  public:
    virtual ~Diagnostics() = default;
    // The system log.
    virtual void systemLog(const std::string& line) = 0;
    // The system log at debug level: routine lines that only someone tracing the helper
    // wants. Where the destination has no levels they are ordinary system-log lines.
    virtual void debugLog(const std::string& line) { systemLog(line); }
    // The process's standard output.
    virtual void standardOutput(const std::string& line) = 0;
};

}  // namespace ampwarden
