#pragma once

#include <string>

namespace ampwarden {

// The helper's two diagnostic destinations. Each call writes one line.
class Diagnostics {
  public:
    virtual ~Diagnostics() = default;
    // The system log.
    virtual void systemLog(const std::string& line) = 0;
    // The process's standard output.
    virtual void standardOutput(const std::string& line) = 0;
};

}  // namespace ampwarden
