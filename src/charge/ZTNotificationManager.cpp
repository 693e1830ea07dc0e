#include "charge/ZTNotificationManager.h"

namespace ampwarden {

const std::array<const char*, 9>& ZTNotificationManager::allNames() {
    static constexpr std::array<const char*, 9> names = {
        OpenSMC,
        CloseSMC,
        SMCStatus,
        SetEnableCharging,
        SetDisableCharging,
        SetEnableDischarging,
        SetDisableDischarging,
        SetEnableChargingLimitMax,
        SetDisableChargingLimitMax,
    };
    return names;
}

}  // namespace ampwarden
