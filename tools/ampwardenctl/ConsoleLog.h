#pragma once

#include <string>

#include "platform/Diagnostics.h"

namespace ampwarden::ctl {

// The battery app's log for a person or a user unit's journal: what it does on standard
// output, its troubles on standard error after "ampwardenctl: ". Each line is flushed at once,
// so a reader (a pipe, a test) sees it as it comes.
class ConsoleLog : public Diagnostics {
  public:
    void systemLog(const std::string& line) override;
    void standardOutput(const std::string& line) override;
};

}  // namespace ampwarden::ctl
