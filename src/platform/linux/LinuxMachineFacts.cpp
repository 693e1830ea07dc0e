#include "platform/linux/LinuxMachineFacts.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <utility>

#include "BuildInfo.h"
#include "protocol/NotificationNames.h"

namespace ampwarden {

LinuxMachineFacts::LinuxMachineFacts(std::string productNamePath)
    : productNamePath_(std::move(productNamePath)) {}

std::string LinuxMachineFacts::modelName() {
    // Lets tests and demos on ordinary PCs play a MacBook, so the lid rule can be tried.
    if (const char* model = std::getenv("AMPWARDEN_MODEL_NAME"); model != nullptr) return model;
    std::ifstream file(productNamePath_);
    std::string line;
    if (!file || !std::getline(file, line)) return {};
    return line;
}

ProcessIds LinuxMachineFacts::processIds() {
    ProcessIds ids;
    ids.euid = static_cast<int>(geteuid());
    ids.uid = static_cast<int>(getuid());
    ids.egid = static_cast<int>(getegid());
    ids.gid = static_cast<int>(getgid());
    return ids;
}

std::map<std::string, std::string> LinuxMachineFacts::bundleInfo() {
    return {{names::kBundleShortVersionKey, build::kShortVersion},
            {names::kBundleVersionKey, build::kBuildNumber}};
}

}  // namespace ampwarden
