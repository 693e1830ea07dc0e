#pragma once

#include <string>

#include "platform/Diagnostics.h"

namespace ampwarden {

// System log lines go to syslog(3) as "Ampwarden" (daemon facility, notice level, debug level
// for debug lines) and, for a
// person watching a terminal, to stderr as well. Standard output lines are flushed one by
// one, so a reader on a pipe sees each line as soon as it is written.
class SyslogDiagnostics : public Diagnostics {
  public:
    SyslogDiagnostics();
    ~SyslogDiagnostics() override;
    SyslogDiagnostics(const SyslogDiagnostics&) = delete;
    SyslogDiagnostics& operator=(const SyslogDiagnostics&) = delete;

    void systemLog(const std::string& line) override;
    void debugLog(const std::string& line) override;
    void standardOutput(const std::string& line) override;

  private:
    bool mirrorToStderr_;
};

}  // namespace ampwarden
