#include "ampwardenctl/ConsoleLog.h"

#include <cstdio>

namespace ampwarden::ctl {

void ConsoleLog::systemLog(const std::string& line) {
    std::fprintf(stderr, "ampwardenctl: %s\n", line.c_str());
    std::fflush(stderr);
}

void ConsoleLog::standardOutput(const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace ampwarden::ctl
