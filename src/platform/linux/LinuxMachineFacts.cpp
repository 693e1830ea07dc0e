#include "platform/linux/LinuxMachineFacts.h"

#include <unistd.h>

#include <fstream>
#include <utility>

#include "BuildInfo.h"
#include "channel/NotificationNames.h"

namespace ampwarden {

LinuxMachineFacts::LinuxMachineFacts(std::string productNamePath)
    : productNamePath_(std::move(productNamePath)) {}

std::string LinuxMachineFacts::modelName() {
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
