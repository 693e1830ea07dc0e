#pragma once

#include <string>
#include <vector>

#include "platform/Diagnostics.h"

namespace ampwarden::test {

// Records the diagnostic lines of each destination, in order. Debug lines are kept apart;
// journal() has the system log's lines of both levels in order, debug ones marked.
class FakeDiagnostics : public Diagnostics {
  public:
    void systemLog(const std::string& line) override {
        system_.push_back(line);
        journal_.push_back(line);
    }
    void debugLog(const std::string& line) override { journal_.push_back("debug: " + line); }
    void standardOutput(const std::string& line) override { stdout_.push_back(line); }

    const std::vector<std::string>& systemLines() const { return system_; }
    const std::vector<std::string>& stdoutLines() const { return stdout_; }
    const std::vector<std::string>& journal() const { return journal_; }
    bool empty() const { return system_.empty() && stdout_.empty(); }
    void clear() {
        system_.clear();
        stdout_.clear();
        journal_.clear();
    }

  private:
    std::vector<std::string> system_;
    std::vector<std::string> stdout_;
    std::vector<std::string> journal_;
};

}  // namespace ampwarden::test
