#include "platform/linux/SyslogDiagnostics.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>

namespace ampwarden {

SyslogDiagnostics::SyslogDiagnostics() : mirrorToStderr_(isatty(STDERR_FILENO) == 1) {
    openlog("Ampwarden", LOG_PID, LOG_DAEMON);
}

SyslogDiagnostics::~SyslogDiagnostics() { closelog(); }

void SyslogDiagnostics::systemLog(const std::string& line) {
    syslog(LOG_NOTICE, "%s", line.c_str());
    if (mirrorToStderr_) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fputc('\n', stderr);
    }
}

void SyslogDiagnostics::debugLog(const std::string& line) {
    syslog(LOG_DEBUG, "%s", line.c_str());
    if (mirrorToStderr_) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fputc('\n', stderr);
    }
}

void SyslogDiagnostics::standardOutput(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace ampwarden
