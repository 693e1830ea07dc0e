#include "channel/ZTMonitorManager.h"

#include <string>

namespace ampwarden {

bool ZTMonitorManager::lidClosed(MachineFacts& machine, LoginManager& login, Diagnostics& log) {
    const std::string model = machine.modelName();
    log.systemLog(std::to_string(model.size()));
    if (model.find("MacBook") == std::string::npos) return false;
    return login.clamshellClosed().value_or(false);
}

}  // namespace ampwarden
