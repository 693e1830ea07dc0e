#pragma once

#include <array>

#include "channel/NotificationNames.h"

namespace ampwarden {

// The battery commands the battery-control object can answer to by itself, in the order it
// registers and matches them. The same strings the command module observes.
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

    // All nine, in registration order.
    static const std::array<const char*, 9>& allNames();
};

}  // namespace ampwarden
