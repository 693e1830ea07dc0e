#pragma once

#include "protocol/NotificationNames.h"

namespace ampwarden {

// The battery commands the battery-control object can act on by itself. Which of them it
// observes, and what each does, is read from the command module's table (batteryCommands()).
class ZTNotificationManager {
  public:
    static constexpr const char* OpenSMC = names::kOpenSMC;
    static constexpr const char* CloseSMC = names::kCloseSMC;
    static constexpr const char* SMCStatus = names::kSMCStatus;
    static constexpr const char* SetEnableCharging = names::kSetEnableCharging;
    static constexpr const char* SetDisableCharging = names::kSetDisableCharging;
    static constexpr const char* SetEnableDischarging = names::kSetEnableDischarging;
    static constexpr const char* SetDisableDischarging = names::kSetDisableDischarging;
    static constexpr const char* SetEnableChargingLimitMax = names::kSetEnableChargingLimitMax;
    static constexpr const char* SetDisableChargingLimitMax = names::kSetDisableChargingLimitMax;
};

}  // namespace ampwarden
