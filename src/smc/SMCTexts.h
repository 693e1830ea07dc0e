#pragma once

// Every key, data-type text and diagnostic text of the SMC layer, shared by the SMC class,
// the key tool and the tests. Diagnostic lines are written exactly as given, followed by the
// error text of a code or by a decimal number where the comment says so.

namespace ampwarden::smctext {

// The user-client service.
inline constexpr const char* kServiceClass = "AppleSMC";

// Keys.
inline constexpr const char* kKeyCountKey = "#KEY";
inline constexpr const char* kForcedFansKey = "FS! ";
inline constexpr const char* kCHBIKey = "CHBI";
// Per-fan keys are "F" + fan index + one of these.
inline constexpr const char* kFanModeSuffix = "Md";
inline constexpr const char* kFanMaxSuffix = "Mx";
inline constexpr const char* kFanTargetSuffix = "Tg";

// Data types the SMC class looks at.
inline constexpr const char* kTypeFanDescriptor = "{fds";
inline constexpr const char* kTypeFloat = "flt ";
inline constexpr const char* kTypeFpe2 = "fpe2";
inline constexpr const char* kTypeHex = "hex_";
inline constexpr const char* kTypeUInt8 = "ui8 ";
inline constexpr const char* kTypeFlag = "flag";

// Connection (+ error text).
inline constexpr const char* kErrorMatchingServices = "Error IOServiceGetMatchingServices(): ";
inline constexpr const char* kErrorIteratorNext = "Error IOIteratorNext(): ";
inline constexpr const char* kErrorServiceOpen = "Error IOServiceOpen(): ";
inline constexpr const char* kErrorCloseConnection = "error close smc connection: ";

// Typed reads. kErrorReadKey is followed by the key, then kErrorReadKeyEnd and the error text.
inline constexpr const char* kErrorReadKey = "Error read(";
inline constexpr const char* kErrorReadKeyEnd = "): ";
inline constexpr const char* kErrorReadNoKey = "Error read(): ";
// + data type + kUnsupportedForKey + key
inline constexpr const char* kUnsupportedDataType = "unsupported data type ";
inline constexpr const char* kUnsupportedForKey = " for key: ";

// Enumeration.
inline constexpr const char* kNoKeyCount = "ERROR no keys count found";

// Fans (+ error text).
inline constexpr const char* kErrorReadFanMode = "Error read fan mode: ";
inline constexpr const char* kErrorReadFanValue = "Error read fan value: ";
inline constexpr const char* kErrorWrite = "Error write: ";
// kSpeedTooHigh + speed + kSpeedTooHighMiddle + maximum + kSpeedTooHighEnd
inline constexpr const char* kSpeedTooHigh = "new fan speed (";
inline constexpr const char* kSpeedTooHighMiddle = ") is more than maximum speed (";
inline constexpr const char* kSpeedTooHighEnd = ")";

// Byte-valued keys (+ decimal number, or + error text).
inline constexpr const char* kIntValue = "intValue ";
inline constexpr const char* kSetBatteryValue = "设置电池状态数值 ";
inline constexpr const char* kBytes = "bytes ";
inline constexpr const char* kErrorReadSMCValue = "Error read SMC value: ";

// Refusals of arguments the device must never see. Each line names the operation and the
// value, and ends with the error text of kIOReturnBadArgument.
inline constexpr const char* kRefused = "Error ";

}  // namespace ampwarden::smctext
