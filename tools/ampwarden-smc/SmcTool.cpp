#include "SmcTool.h"

#include <cstdio>
#include <sstream>

#include "emulator/KeyTableFile.h"
#include "smc/SMCErrorText.h"
#include "smc/SMCTexts.h"
#include "smc/SMCValueCodec.h"

namespace ampwarden::smctool {

namespace {

void tell(const std::string& message) {
    std::fprintf(stderr, "ampwarden-smc: %s\n", message.c_str());
}

std::string numberText(double number) {
    std::ostringstream text;
    text.precision(10);
    text << number;
    return text.str();
}

// What a key's bytes stand for, as far as its type says.
std::string valueText(const SMCVal_t& value) {
    if (value.dataType == smctext::kTypeFanDescriptor) return fanDescriptorName(value.bytes);
    if (auto number = decodeSMCNumber(value.dataType, value.bytes)) return numberText(*number);
    const bool oneByteKind =
        value.dataType == smctext::kTypeHex || value.dataType == smctext::kTypeFlag;
    if (oneByteKind && value.dataSize == 1) return std::to_string(value.bytes[0]);
    return "-";
}

std::string keyLine(const SMCVal_t& value) {
    const std::size_t size = std::min<std::size_t>(value.dataSize, value.bytes.size());
    const std::vector<std::uint8_t> bytes(value.bytes.begin(), value.bytes.begin() + size);
    return value.key + "\t" + value.dataType + "\t" + std::to_string(value.dataSize) + "\t" +
           KeyTableFile::hex(bytes) + "\t" + valueText(value);
}

std::string byteCount(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::string fanKey(std::int64_t fan, const char* suffix) {
    return "F" + std::to_string(fan) + suffix;
}

}  // namespace

int SmcTool::run(const Command& command) {
    if (command.verb == Verb::help) {
        std::fputs(kHelpText, stdout);
        return kExitOk;
    }
    if (!openDevice()) return kExitFailed;
    switch (command.verb) {
        case Verb::list:
            return list();
        case Verb::read:
            return read(command.key);
        case Verb::write:
            return write(command.key, command.bytes);
        case Verb::set:
            return set(command.key, command.number);
        case Verb::fanMode:
            return fanMode(command.fan, command.mode);
        case Verb::fanSpeed:
            return fanSpeed(command.fan, command.speed);
        case Verb::fanReset:
            return fanReset();
        case Verb::help:
        case Verb::version:
        case Verb::probe:
            break;
    }
    return kExitOk;
}

bool SmcTool::openDevice() {
    // Without a device, say so once and clearly rather than after open()'s own error line.
    std::vector<io_service_t> services;
    device_.getMatchingServices(smctext::kServiceClass, services);
    for (io_service_t service : services) device_.objectRelease(service);
    if (!services.empty() && smc_.open() == 0) return true;
    tell(noDevice_);
    return false;
}

bool SmcTool::printKey(const std::string& key) {
    SMCVal_t value(key);
    const kern_return_t code = smc_.read(value);
    if (code != 0) {
        tell("cannot read \"" + key + "\": " + smcErrorWords(code));
        return false;
    }
    std::printf("%s\n", keyLine(value).c_str());
    return true;
}

int SmcTool::list() {
    const std::vector<std::string> keys = smc_.getAllKeys();
    if (keys.empty()) {
        tell("the SMC listed no keys");
        return kExitFailed;
    }
    bool allRead = true;
    for (const std::string& key : keys) allRead = printKey(key) && allRead;
    return allRead ? kExitOk : kExitFailed;
}

int SmcTool::read(const std::string& key) { return printKey(key) ? kExitOk : kExitFailed; }

int SmcTool::write(const std::string& key, const std::vector<std::uint8_t>& bytes) {
    SMCVal_t value(key);
    kern_return_t code = smc_.read(value);
    if (code == 0 && value.dataSize != bytes.size()) {
        tell("\"" + key + "\" takes " + byteCount(value.dataSize) + ", not " +
             byteCount(bytes.size()));
        return kExitFailed;
    }
    if (code == 0) {
        std::copy(bytes.begin(), bytes.end(), value.bytes.begin());
        code = smc_.write(value);
    }
    if (code != 0) {
        tell("cannot write \"" + key + "\": " + smcErrorWords(code));
        return kExitFailed;
    }
    return read(key);
}

int SmcTool::set(const std::string& key, double number) {
    SMCVal_t value(key);
    const kern_return_t code = smc_.read(value);
    if (code != 0) {
        tell("cannot write \"" + key + "\": " + smcErrorWords(code));
        return kExitFailed;
    }
    std::string why;
    const auto bytes = encodeSMCNumber(value.dataType, number, why);
    if (!bytes) {
        tell("cannot set \"" + key + "\": " + why);
        return kExitFailed;
    }
    if (bytes->size() != value.dataSize) {
        tell("cannot set \"" + key + "\": it holds " + byteCount(value.dataSize) + ", its type " +
             byteCount(bytes->size()));
        return kExitFailed;
    }
    return write(key, *bytes);
}

std::optional<std::int64_t> SmcTool::forcedFans() {
    SMCVal_t value(smctext::kForcedFansKey);
    const kern_return_t code = smc_.read(value);
    if (code != 0) {
        tell("cannot read the forced-fan mask: " + smcErrorWords(code));
        return std::nullopt;
    }
    return value.bytes[1];
}

int SmcTool::fanMode(std::int64_t fan, FanMode mode) {
    smc_.setFanMode(fan, mode);
    if (fan < 0 || fan > 9) return kExitFailed;  // refused, and told so by the SMC code
    if (fan > 7) return fanModeKeyOnly(fan, mode);
    const auto mask = forcedFans();
    if (!mask) return kExitFailed;
    const bool forced = fan >= 0 && fan < 8 && ((*mask >> fan) & 1) != 0;
    if (forced != (mode == FanMode::forced)) {
        tell("fan " + std::to_string(fan) + " stays " + (forced ? "forced" : "automatic"));
        return kExitFailed;
    }
    SMCVal_t modeKey(fanKey(fan, smctext::kFanModeSuffix));
    if (smc_.read(modeKey) == 0) std::printf("%s\n", keyLine(modeKey).c_str());
    return printKey(smctext::kForcedFansKey) ? kExitOk : kExitFailed;
}

// Fans 8 and 9 have no bit in the mask: their mode key alone says whether it worked.
int SmcTool::fanModeKeyOnly(std::int64_t fan, FanMode mode) {
    const std::string key = fanKey(fan, smctext::kFanModeSuffix);
    SMCVal_t modeKey(key);
    const kern_return_t code = smc_.read(modeKey);
    if (code != 0) {
        tell("cannot read \"" + key + "\": " + smcErrorWords(code));
        return kExitFailed;
    }
    if (modeKey.bytes[0] != rawValue(mode)) {
        tell("fan " + std::to_string(fan) + " stays " +
             (modeKey.bytes[0] ? "forced" : "automatic"));
        return kExitFailed;
    }
    std::printf("%s\n", keyLine(modeKey).c_str());
    return kExitOk;
}

int SmcTool::fanSpeed(std::int64_t fan, std::int64_t speed) {
    smc_.setFanSpeed(fan, speed);
    if (fan < 0 || fan > 9) return kExitFailed;  // refused, and told so by the SMC code
    const std::string key = fanKey(fan, smctext::kFanTargetSuffix);
    SMCVal_t target(key);
    const kern_return_t code = smc_.read(target);
    if (code != 0) return kExitFailed;  // told by the SMC code
    const auto now = decodeSMCNumber(target.dataType, target.bytes);
    if (!now || *now != static_cast<double>(speed)) {
        tell("fan " + std::to_string(fan) + " target stays " + valueText(target) + " (asked for " +
             std::to_string(speed) + ")");
        return kExitFailed;
    }
    std::printf("%s\n", keyLine(target).c_str());
    return kExitOk;
}

int SmcTool::fanReset() {
    smc_.resetFanModes();
    const auto mask = forcedFans();
    if (!mask) return kExitFailed;
    return printKey(smctext::kForcedFansKey) && *mask == 0 ? kExitOk : kExitFailed;
}

}  // namespace ampwarden::smctool
