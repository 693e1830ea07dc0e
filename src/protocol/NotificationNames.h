#pragma once

// Every name, key and fixed value of the protocol between the main app and the helper.
// Shared by the helper, ampwardenctl and the tests. Names are case-sensitive.

namespace ampwarden::names {

// Commands (main app -> helper), in the order the command module registers them.
inline constexpr const char* kQueryChargingStatus =
    "ZTBatteryApp_CFNotification_Tell_Helper_QuerySMCChargingStatus";
inline constexpr const char* kOpenSMC = "ZTBattery_TellDeamon_OpenSMC";
inline constexpr const char* kCloseSMC = "ZTBattery_TellDeamon_CloseSMC";
inline constexpr const char* kSMCStatus = "ZTBattery_TellDeamon_SMCStatus";
inline constexpr const char* kSetEnableCharging = "ZTBattery_TellDeamon_SetEnableCharging";
inline constexpr const char* kSetDisableCharging = "ZTBattery_TellDeamon_SetDisableCharging";
inline constexpr const char* kSetEnableDischarging = "ZTBattery_TellDeamon_SetEnableDischarging";
inline constexpr const char* kSetDisableDischarging = "ZTBattery_TellDeamon_SetDisableDischarging";
inline constexpr const char* kSetEnableChargingLimitMax =
    "ZTBattery_TellDeamon_SetEnableChargingLimitMax";
inline constexpr const char* kSetDisableChargingLimitMax =
    "ZTBattery_TellDeamon_SetDisableChargingLimitMax";
inline constexpr const char* kUninstallHelper =
    "ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper";
inline constexpr const char* kQueryDaemonLoadStatus =
    "ZTBattery_TellDeamon_QueryDeamonLoadStatusCallBack";
inline constexpr const char* kGlobalQueryDaemonLoadStatus =
    "ZTBattery_TellDeamon_GlobalQueryDeamonLoadStatusCallBack";

// Answers (helper -> main app).
inline constexpr const char* kCallbackSuffix = "_callback";
inline constexpr const char* kChargingStatusAnswer =
    "ZTHelper_CFNotification_Tell_BatteryApp_QuerySMCChargingStatus";
inline constexpr const char* kOpenSMCAnswer = "ZTBattery_TellDeamon_OpenSMC_callback";
inline constexpr const char* kCloseSMCAnswer = "ZTBattery_TellDeamon_CloseSMC_callback";
inline constexpr const char* kSMCStatusAnswer = "ZTBattery_TellDeamon_SMCStatus_callback";
inline constexpr const char* kSetEnableChargingAnswer =
    "ZTBattery_TellDeamon_SetEnableCharging_callback";
inline constexpr const char* kSetDisableChargingAnswer =
    "ZTBattery_TellDeamon_SetDisableCharging_callback";
inline constexpr const char* kSetEnableDischargingAnswer =
    "ZTBattery_TellDeamon_SetEnableDischarging_callback";
inline constexpr const char* kSetEnableChargingLimitMaxAnswer =
    "ZTBattery_TellDeamon_SetEnableChargingLimitMax_callback";
inline constexpr const char* kSetDisableChargingLimitMaxAnswer =
    "ZTBattery_TellDeamon_SetDisableChargingLimitMax_callback";
inline constexpr const char* kUninstallHelperAnswer =
    "ZTBatteryApp_CFNotification_Tell_Helper_UninstallHelper_callBack";
inline constexpr const char* kDaemonLoadStatusAnswer = "PostTo_BatteryAppManager_DeamonLoadStatus";
inline constexpr const char* kGlobalDaemonLoadStatusAnswer =
    "PostTo_BatteryAppManager_GlobalDeamonLoadStatusCallback";
inline constexpr const char* kRestartAnswer = "ZTHelper_TellBattery_Restart";

// Local to the helper.
inline constexpr const char* kMainAppIsKilled = "mainAppIsKilled";

// The main app's application id.
inline constexpr const char* kMainAppId = "lumora.Battery";

// Answer keys and fixed values.
inline constexpr const char* kChargingStatusKey = "chargingStatus";
inline constexpr const char* kDischargingStatusKey = "dischargingStatus";
inline constexpr const char* kSmcOpenCloseKey = "smcOpenClose";
inline constexpr const char* kSmcStatusKey = "smcStatus";
inline constexpr const char* kSmcCtrlStatusKey = "smcCtrlStatus";
inline constexpr const char* kUninstallSelfKey = "uninstallSelf";
// Added to every answer of a command that writes charge keys: 1 when each key it writes at
// once was written, else 0 together with the keys that were not, blank-separated.
inline constexpr const char* kSmcWrittenKey = "smcWritten";
inline constexpr const char* kSmcNotWrittenKey = "smcNotWritten";
inline constexpr const char* kStatusKey = "status";
inline constexpr const char* kVersionKey = "version";
inline constexpr const char* kBuildVersionKey = "buildVersion";
inline constexpr const char* kRestartKey = "restart";

inline constexpr const char* kOpen = "open";
inline constexpr const char* kClose = "close";
inline constexpr const char* kEnableCharging = "enableCharging";
inline constexpr const char* kDisableCharging = "disableCharging";
inline constexpr const char* kDischarging = "discharging";
inline constexpr const char* kEnableLimitMax = "EnableLimitMax";
inline constexpr const char* kDisableLimitMax = "DisableLimitMax";
inline constexpr const char* kRestartValue = "开始重启";

// Bundle information keys.
inline constexpr const char* kBundleShortVersionKey = "CFBundleShortVersionString";
inline constexpr const char* kBundleVersionKey = "CFBundleVersion";

}  // namespace ampwarden::names
