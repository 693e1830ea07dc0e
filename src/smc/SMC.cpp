#include "smc/SMC.h"

#include <algorithm>
#include <cmath>

#include "platform/MachError.h"
#include "smc/SMCErrorText.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"
#include "smc/SMCTexts.h"
#include "smc/SMCValueCodec.h"

namespace ampwarden {

using namespace smctext;

namespace {

constexpr std::int64_t kDefaultFanMaximum = 4000;
// The forced-fan mask is one byte, so only fans 0 to 7 can be forced; keys exist up to F9.
constexpr std::int64_t kLastFanKeyIndex = 9;
constexpr std::int64_t kLastMaskedFan = 7;
constexpr double kMaxKeyCount = 4294967296.0;  // every index must fit the 32-bit data32

std::string fanKey(std::int64_t fan, const char* suffix) {
    return "F" + std::to_string(fan) + suffix;
}

bool allZero(const SMCBytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Keys whose zero value is a real reading (a fan in automatic mode, no fan forced), not a
// blank: the mask and every fan's mode key, "F0Md" to "F9Md".
bool zeroIsAValue(const std::string& key) {
    return key == kForcedFansKey || (key.size() == 4 && key[0] == 'F' && key[1] >= '0' &&
                                     key[1] <= '9' && key.compare(2, 2, kFanModeSuffix) == 0);
}

bool isOneByteType(const std::string& dataType) {
    return dataType == kTypeHex || dataType == kTypeUInt8 || dataType == kTypeFlag;
}

// A value as a whole number with its fraction dropped; none when it has no such form.
std::optional<std::int64_t> wholeNumber(std::optional<double> value) {
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (!value || !std::isfinite(*value) || *value >= kLimit || *value < -kLimit) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(*value);
}

std::string describeNumber(double value) {
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e18) {
        return std::to_string(static_cast<std::int64_t>(value));
    }
    return std::to_string(value);
}

std::string outsideRange(const std::string& what, std::int64_t value, std::int64_t low,
                         std::int64_t high) {
    return what + " " + std::to_string(value) + " is outside " + std::to_string(low) + " to " +
           std::to_string(high);
}

}  // namespace

SMC::SMC(SmcService& device, Diagnostics& log) : device_(device), log_(log) {}

SMC::~SMC() {
    // Not close(): a subclass's override is already gone by the time this runs.
    const kern_return_t code = closeConnection();
    if (code != kKernSuccess) log(kErrorCloseConnection + smcErrorText(code));
}

void SMC::log(const std::string& line) { log_.standardOutput(line); }

void SMC::refuse(const std::string& operation, const std::string& reason) {
    log(kRefused + operation + ": " + reason + ": " + smcErrorText(kIOReturnBadArgument));
}

kern_return_t SMC::callStructMethod(const SMCKeyData_t& input, SMCKeyData_t& output) {
    output = SMCKeyData_t();
    std::size_t outputSize = sizeof(SMCKeyData_t);
    return device_.callStructMethod(conn, rawValue(SMCKeys::kernelIndex), &input,
                                    sizeof(SMCKeyData_t), &output, outputSize);
}

// Connection

kern_return_t SMC::open() {
    SmcService& service = device_;
    std::vector<io_service_t> services;
    const kern_return_t found = service.getMatchingServices(kServiceClass, services);
    if (found != kKernSuccess) {
        log(kErrorMatchingServices + smcErrorText(found));
        return found;
    }
    if (services.empty()) {
        // The iterator has no code of its own for "none": the line says so with code 0, the
        // caller learns that no service was found.
        log(kErrorIteratorNext + smcErrorText(kKernSuccess));
        return kIOReturnNotFound;
    }
    const kern_return_t opened = service.serviceOpen(services.front(), 0, conn);
    service.objectRelease(services.front());
    if (opened != kKernSuccess) log(kErrorServiceOpen + smcErrorText(opened));
    return opened;
}

kern_return_t SMC::close() { return closeConnection(); }

kern_return_t SMC::closeConnection() { return device_.serviceClose(conn); }

// Raw key I/O

kern_return_t SMC::read(SMCVal_t& value) {
    if (!isValidKey(value.key)) return kIOReturnBadArgument;
    SMCKeyData_t input;
    SMCKeyData_t output;
    input.key = toUInt32(value.key);
    input.data8 = rawValue(SMCKeys::readKeyInfo);
    kern_return_t code = callStructMethod(input, output);
    if (code != kKernSuccess) return code;

    value.dataSize = output.keyInfo.dataSize;
    value.dataType = toString(output.keyInfo.dataType);
    input.keyInfo.dataSize = value.dataSize;
    input.data8 = rawValue(SMCKeys::readBytes);
    code = callStructMethod(input, output);
    if (code != kKernSuccess) return code;

    const std::size_t count = std::min<std::size_t>(value.dataSize, value.bytes.size());
    std::copy_n(output.bytes.begin(), count, value.bytes.begin());
    return kKernSuccess;
}

kern_return_t SMC::write(const SMCVal_t& value) {
    if (!isValidKey(value.key)) return kIOReturnBadArgument;
    SMCKeyData_t input;
    SMCKeyData_t output;
    input.key = toUInt32(value.key);
    input.data8 = rawValue(SMCKeys::writeBytes);
    input.keyInfo.dataSize = value.dataSize;
    input.bytes = value.bytes;
    return callStructMethod(input, output);
}

// Typed access

std::optional<double> SMC::getValue(const std::string& key) {
    SMCVal_t value(key);
    const kern_return_t code = read(value);
    if (code != kKernSuccess) {
        log(kErrorReadKey + key + kErrorReadKeyEnd + smcErrorText(code));
        return std::nullopt;
    }
    if (value.dataSize == 0) return std::nullopt;
    if (allZero(value.bytes) && !zeroIsAValue(key)) return std::nullopt;
    return decodeSMCNumber(value.dataType, value.bytes);
}

std::optional<std::string> SMC::getStringValue(const std::string& key) {
    SMCVal_t value(key);
    const kern_return_t code = read(value);
    if (code != kKernSuccess) {
        log(kErrorReadNoKey + smcErrorText(code));
        return std::nullopt;
    }
    if (value.dataSize == 0 || allZero(value.bytes)) return std::nullopt;
    if (value.dataType != kTypeFanDescriptor) {
        log(kUnsupportedDataType + value.dataType + kUnsupportedForKey + key);
        return std::nullopt;
    }
    return fanDescriptorName(value.bytes);
}

kern_return_t SMC::writeFpe2(const std::string& key, std::int64_t value) {
    if (value < 0 || value > kFpe2Max) {
        refuse("writeFpe2(" + key + ")", outsideRange("value", value, 0, kFpe2Max));
        return kIOReturnBadArgument;
    }
    SMCVal_t record(key);
    record.dataSize = 2;
    encodeFpe2(static_cast<std::uint16_t>(value), record.bytes);
    return write(record);
}

// Enumeration

std::vector<std::string> SMC::getAllKeys() {
    const std::optional<double> count = getValue(kKeyCountKey);
    if (!count) {
        log(kNoKeyCount);
        return {};
    }
    if (!std::isfinite(*count) || *count < 0 || *count > kMaxKeyCount) {
        refuse("getAllKeys()", "key count " + describeNumber(*count) + " is outside 0 to " +
                                   describeNumber(kMaxKeyCount));
        return {};
    }
    const auto total = static_cast<std::uint64_t>(*count);
    std::vector<std::string> keys;
    for (std::uint64_t index = 0; index < total; ++index) {
        SMCKeyData_t input;
        SMCKeyData_t output;
        input.data8 = rawValue(SMCKeys::readIndex);
        input.data32 = static_cast<std::uint32_t>(index);
        const kern_return_t code = callStructMethod(input, output);
        if (code == kKernSuccess) keys.push_back(toString(output.key));
        // Past the end of the table: a count larger than the table must not walk 2^32 indexes.
        if (code == kIOReturnNotFound) break;
    }
    return keys;
}

// Fans

void SMC::setFanMode(std::int64_t fan, FanMode mode) {
    if (fan < 0 || fan > kLastFanKeyIndex) {
        refuse("setFanMode()", outsideRange("fan", fan, 0, kLastFanKeyIndex));
        return;
    }
    if (!fanModeFromRaw(rawValue(mode))) {
        refuse("setFanMode()", "mode " + std::to_string(rawValue(mode)) + " is neither 0 nor 1");
        return;
    }
    const std::string modeKey = fanKey(fan, kFanModeSuffix);
    if (getValue(modeKey)) {
        SMCVal_t value(modeKey);
        kern_return_t code = read(value);
        if (code != kKernSuccess) return log(kErrorReadFanMode + smcErrorText(code));
        value.bytes = {};
        value.bytes[0] = static_cast<std::uint8_t>(rawValue(mode));
        code = write(value);
        if (code != kKernSuccess) return log(kErrorWrite + smcErrorText(code));
    }
    // The mask is one byte: fans 8 and 9 have a mode key but no bit.
    if (fan <= kLastMaskedFan) setForcedFanMask(fan, mode);
}

std::int64_t SMC::forcedFanMask() {
    // Only byte 1 carries the mask; a reading beyond two bytes is taken as no reading.
    const std::optional<std::int64_t> mask = wholeNumber(getValue(kForcedFansKey));
    if (!mask || *mask < 0 || *mask > 0xFFFF) return 0;
    return *mask & 0xFF;
}

void SMC::setForcedFanMask(std::int64_t fan, FanMode mode) {
    const std::int64_t current = forcedFanMask();
    const std::int64_t bit = std::int64_t{1} << fan;
    const std::int64_t wanted = mode == FanMode::forced ? (current | bit) : (current & ~bit);
    if (wanted == current) return;

    SMCVal_t value(kForcedFansKey);
    kern_return_t code = read(value);
    if (code != kKernSuccess) return log(kErrorReadFanMode + smcErrorText(code));
    value.bytes = {};
    value.bytes[1] = static_cast<std::uint8_t>(wanted);
    code = write(value);
    if (code != kKernSuccess) log(kErrorWrite + smcErrorText(code));
}

void SMC::setFanSpeed(std::int64_t fan, std::int64_t speed) {
    if (fan < 0 || fan > kLastFanKeyIndex) {
        return refuse("setFanSpeed()", outsideRange("fan", fan, 0, kLastFanKeyIndex));
    }
    const std::int64_t maximum =
        wholeNumber(getValue(fanKey(fan, kFanMaxSuffix))).value_or(kDefaultFanMaximum);
    if (maximum < speed) {
        return log(kSpeedTooHigh + std::to_string(speed) + kSpeedTooHighMiddle +
                   std::to_string(maximum) + kSpeedTooHighEnd);
    }
    SMCVal_t value(fanKey(fan, kFanTargetSuffix));
    kern_return_t code = read(value);
    if (code != kKernSuccess) return log(kErrorReadFanValue + smcErrorText(code));
    if (value.dataType == kTypeFloat) {
        encodeFloat(static_cast<float>(speed), value.bytes);
    } else if (value.dataType == kTypeFpe2) {
        // Speed × 4 must fit the 16-bit fixed-point value.
        if (speed < 0 || speed > kFpe2Max) {
            return refuse("setFanSpeed()", outsideRange("speed", speed, 0, kFpe2Max));
        }
        encodeFpe2(static_cast<std::uint16_t>(speed), value.bytes);
        value.bytes[2] = 0;
        value.bytes[3] = 0;
    }
    code = write(value);
    if (code != kKernSuccess) log(kErrorWrite + smcErrorText(code));
}

void SMC::resetFanModes() {
    SMCVal_t value(kForcedFansKey);
    value.dataSize = 2;
    const kern_return_t code = write(value);
    if (code != kKernSuccess) log(kErrorWrite + smcErrorText(code));
}

// Byte-valued keys

bool SMC::isCHBIReadable() {
    SMCVal_t value(kCHBIKey);
    const kern_return_t code = read(value);
    if (code != kKernSuccess) {
        log(kErrorReadSMCValue + smcErrorText(code));
        return false;
    }
    return true;
}

std::optional<std::int64_t> SMC::readByteValue(const std::string& key) {
    SMCVal_t value(key);
    const kern_return_t code = read(value);
    if (code != kKernSuccess) {
        log(kErrorReadFanValue + smcErrorText(code));
        return std::nullopt;
    }
    if (!isOneByteType(value.dataType)) return std::nullopt;
    const std::int64_t byte = value.bytes[0];
    log(kIntValue + std::to_string(byte));
    return byte;
}

kern_return_t SMC::writeByteValue(const std::string& key, std::int64_t byteValue) {
    return storeByteValue(key, byteValue, true);
}

kern_return_t SMC::writeByteValueQuietly(const std::string& key, std::int64_t byteValue) {
    return storeByteValue(key, byteValue, false);
}

kern_return_t SMC::storeByteValue(const std::string& key, std::int64_t byteValue, bool logging) {
    auto note = [this, logging](const std::string& line) {
        if (logging) log(line);
    };
    if (byteValue < 0 || byteValue > 255) {
        if (logging)
            refuse("writeByteValue(" + key + ")", outsideRange("value", byteValue, 0, 255));
        return kIOReturnBadArgument;
    }
    SMCVal_t value(key);
    kern_return_t code = read(value);
    if (code != kKernSuccess) {
        note(kErrorReadFanValue + smcErrorText(code));
        return code;
    }
    note(kSetBatteryValue + std::to_string(byteValue));
    if (isOneByteType(value.dataType)) {
        note(kBytes + std::to_string(byteValue));
        value.bytes[0] = static_cast<std::uint8_t>(byteValue);
    }
    code = write(value);
    if (code != kKernSuccess) note(kErrorWrite + smcErrorText(code));
    return code;
}

}  // namespace ampwarden
