#include "ToolPlatform.h"

#include <cstdio>

namespace ampwarden::smctool {

ToolPlatform::ToolPlatform() { Platform::install(this); }

ToolPlatform::~ToolPlatform() { Platform::install(nullptr); }

void ToolPlatform::StderrDiagnostics::systemLog(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

void ToolPlatform::StderrDiagnostics::standardOutput(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace ampwarden::smctool
