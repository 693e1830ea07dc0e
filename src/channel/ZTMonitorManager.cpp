#include "channel/ZTMonitorManager.h"

#include <string>

#include "platform/Platform.h"

namespace ampwarden {

bool ZTMonitorManager::lidClosed() {
    Platform& platform = Platform::current();
    const std::string model = platform.machine().modelName();
    platform.diagnostics().systemLog(std::to_string(model.size()));
    if (model.find("MacBook") == std::string::npos) return false;
    return platform.loginManager().clamshellClosed().value_or(false);
}

}  // namespace ampwarden
