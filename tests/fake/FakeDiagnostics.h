#pragma once

#include <string>
#include <vector>

#include "platform/Diagnostics.h"

namespace ampwarden::test {

// Records the diagnostic lines of each destination, in order. Debug lines are dropped, so a
// routine line sent to the system log shows up in systemLines().
class FakeDiagnostics : public Diagnostics {
  public:
    void systemLog(const std::string& line) override { system_.push_back(line); }
    void debugLog(const std::string&) override {}
    void standardOutput(const std::string& line) override { stdout_.push_back(line); }

    const std::vector<std::string>& systemLines() const { return system_; }
    const std::vector<std::string>& stdoutLines() const { return stdout_; }
    bool empty() const { return system_.empty() && stdout_.empty(); }
    void clear() {
        system_.clear();
        stdout_.clear();
    }

  private:
    std::vector<std::string> system_;
    std::vector<std::string> stdout_;
};

}  // namespace ampwarden::test
