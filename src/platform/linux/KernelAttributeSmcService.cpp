#include "platform/linux/KernelAttributeSmcService.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "platform/MachError.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"
#include "smc/SMCResult.h"
#include "smc/SMCTexts.h"
#include "smc/SmcPortProtocol.h"

namespace ampwarden {

namespace {

constexpr const char* kPowerSupplies = "/sys/class/power_supply";
constexpr const char* kT2Limit = "/sys/bus/acpi/devices/APP0001:00/battery_charge_limit";
constexpr const char* kLimitKey = "BCLM";
constexpr const char* kBehaviourKeys[] = {"CH0B", "CH0C", "CH0I"};
constexpr const char* kAuto = "auto";
constexpr const char* kInhibit = "inhibit-charge";
constexpr const char* kDischarge = "force-discharge";
constexpr std::uint8_t kStop = 2;
constexpr std::uint8_t kDischarging = 1;

struct Behaviour {
    std::vector<std::string> choices;
    std::string current;
};

// "[auto] inhibit-charge force-discharge": every choice, the current one in brackets.
Behaviour parseBehaviour(const std::string& text) {
    Behaviour behaviour;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word.size() > 2 && word.front() == '[' && word.back() == ']') {
            word = word.substr(1, word.size() - 2);
            behaviour.current = word;
        }
        behaviour.choices.push_back(word);
    }
    if (behaviour.current.empty() && behaviour.choices.size() == 1) {
        behaviour.current = behaviour.choices[0];
    }
    return behaviour;
}

bool offers(const Behaviour& behaviour, const char* choice) {
    for (const std::string& offered : behaviour.choices) {
        if (offered == choice) return true;
    }
    return false;
}

kern_return_t codeOfErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return kIOReturnNotPermitted;
        case EINVAL:
        case ERANGE:
            return kIOReturnBadArgument;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return kIOReturnNoDevice;
        case EBUSY:
        case EAGAIN:
            return kIOReturnBusy;
        default:
            return kIOReturnIOError;
    }
}

kern_return_t fail(SMCKeyData_t& output, kern_return_t code, std::uint8_t result) {
    output.result = result;
    return code;
}

}  // namespace

std::vector<std::string> KernelAttributeSmcService::Attributes::chargeKeys() const {
    std::vector<std::string> keys;
    if (!limitFile.empty()) keys.push_back(kLimitKey);
    if (inhibit) keys.insert(keys.end(), {kBehaviourKeys[kCH0B], kBehaviourKeys[kCH0C]});
    if (discharge) keys.push_back(kBehaviourKeys[kCH0I]);
    return keys;
}

std::vector<std::string> KernelAttributeSmcService::Attributes::files() const {
    std::vector<std::string> files;
    if (!limitFile.empty()) files.push_back(limitFile);
    if (!behaviourFile.empty()) files.push_back(behaviourFile);
    return files;
}

std::optional<KernelAttributeSmcService::Attributes> KernelAttributeSmcService::find(
    const HostFiles& files, std::string& why) {
    Attributes found;
    for (const std::string& name : files.list(kPowerSupplies)) {
        const std::string folder = std::string(kPowerSupplies) + "/" + name;
        if (files.read(folder + "/type").value_or("") != "Battery") continue;
        if (found.battery.empty()) found.battery = folder;
        const std::string limit = folder + "/charge_control_end_threshold";
        const std::string behaviour = folder + "/charge_behaviour";
        if (!files.exists(limit) && !files.exists(behaviour)) continue;
        found.battery = folder;
        if (files.exists(limit)) found.limitFile = limit;
        if (auto text = files.read(behaviour)) {
            const Behaviour offered = parseBehaviour(*text);
            found.inhibit = offers(offered, kInhibit);
            found.discharge = offers(offered, kDischarge);
            if (found.inhibit || found.discharge) found.behaviourFile = behaviour;
        }
        break;
    }
    if (found.limitFile.empty() && files.exists(kT2Limit)) found.limitFile = kT2Limit;
    if (!found.chargeKeys().empty()) return found;
    why = found.battery.empty()
              ? "no battery in " + files.path(kPowerSupplies) + " and no " + files.path(kT2Limit)
              : "battery " + files.path(found.battery) +
                    " has no charge_control_end_threshold and no charge_behaviour offering "
                    "inhibit-charge or force-discharge, and there is no " +
                    files.path(kT2Limit);
    return std::nullopt;
}

KernelAttributeSmcService::KernelAttributeSmcService(HostFiles files, Attributes attributes)
    : files_(std::move(files)), attributes_(std::move(attributes)) {
    keys_.push_back(smctext::kKeyCountKey);
    for (const std::string& key : attributes_.chargeKeys()) keys_.push_back(key);
}

kern_return_t KernelAttributeSmcService::answer(const SMCKeyData_t& input, SMCKeyData_t& output) {
    const auto command = smcKeysFromRaw(input.data8).value_or(SMCKeys::kernelIndex);
    if (command == SMCKeys::readIndex) {
        if (input.data32 >= keys_.size()) {
            return fail(output, kIOReturnNotFound, smcresult::kKeyNotFound);
        }
        output.key = toUInt32(keys_[input.data32]);
        return kKernSuccess;
    }
    const std::string key = toString(input.key);
    bool known = false;
    for (const std::string& presented : keys_) known = known || presented == key;
    if (!known) return fail(output, kIOReturnNotFound, smcresult::kKeyNotFound);
    const bool isCount = key == smctext::kKeyCountKey;
    const std::uint32_t size = isCount ? 4 : 1;
    switch (command) {
        case SMCKeys::readKeyInfo:
            output.keyInfo.dataSize = size;
            output.keyInfo.dataType = toUInt32(isCount            ? "ui32"
                                               : key == kLimitKey ? smctext::kTypeUInt8
                                                                  : smctext::kTypeHex);
            output.keyInfo.dataAttributes =
                isCount ? SmcPortProtocol::kFlagReadable
                        : SmcPortProtocol::kFlagReadable | SmcPortProtocol::kFlagWritable;
            return kKernSuccess;
        case SMCKeys::readBytes: {
            if (input.keyInfo.dataSize != size) {
                return fail(output, kIOReturnBadArgument, smcresult::kBadArgument);
            }
            output.keyInfo.dataSize = size;
            if (isCount) {
                output.bytes[3] = static_cast<std::uint8_t>(keys_.size());
                return kKernSuccess;
            }
            return readValue(key, output.bytes[0]);
        }
        case SMCKeys::writeBytes:
            if (isCount) return fail(output, kIOReturnNotWritable, smcresult::kNotWritable);
            if (input.keyInfo.dataSize != size) {
                return fail(output, kIOReturnBadArgument, smcresult::kBadArgument);
            }
            return writeValue(key, input.bytes[0]);
        default:
            return fail(output, kIOReturnUnsupported, smcresult::kBadArgument);
    }
}

kern_return_t KernelAttributeSmcService::readValue(const std::string& key, std::uint8_t& value) {
    if (key == kLimitKey) {
        int error = 0;
        const auto text = files_.read(attributes_.limitFile, error);
        if (!text) return codeOfErrno(error);
        unsigned percent = 0;
        auto [end, status] = std::from_chars(text->data(), text->data() + text->size(), percent);
        if (status != std::errc() || end != text->data() + text->size() || percent > 100) {
            return kIOReturnIOError;
        }
        value = static_cast<std::uint8_t>(percent);
        return kKernSuccess;
    }
    const kern_return_t code = follow();
    for (int held = 0; held < kHeldCount; ++held) {
        if (key == kBehaviourKeys[held]) value = held_[held];
    }
    return code;
}

kern_return_t KernelAttributeSmcService::writeValue(const std::string& key, std::uint8_t value) {
    if (key != kLimitKey) {
        for (int held = 0; held < kHeldCount; ++held) {
            if (key == kBehaviourKeys[held]) return writeBehaviour(held, value);
        }
    }
    if (value > 100) return kIOReturnBadArgument;
    const std::string text = std::to_string(value);
    const int error = files_.write(attributes_.limitFile, text);
    if (error != 0) return codeOfErrno(error);
    // A driver that keeps another value than the one asked for has not done what was asked.
    return files_.read(attributes_.limitFile) == text ? kKernSuccess : kIOReturnIOError;
}

kern_return_t KernelAttributeSmcService::writeBehaviour(int key, std::uint8_t value) {
    kern_return_t code = follow();
    if (code != kKernSuccess) return code;
    const std::uint8_t before = held_[key];
    const int stopBefore = lastStop_;
    held_[key] = value;
    if (key != kCH0I) lastStop_ = key;
    const std::string wanted = wantedBehaviour();
    if (const int error = files_.write(attributes_.behaviourFile, wanted); error != 0) {
        code = codeOfErrno(error);
    } else if (auto now = files_.read(attributes_.behaviourFile);
               !now || parseBehaviour(*now).current != wanted) {
        code = kIOReturnIOError;
    }
    if (code != kKernSuccess) {
        held_[key] = before;
        lastStop_ = stopBefore;
        return code;
    }
    behaviour_ = wanted;
    return kKernSuccess;
}

kern_return_t KernelAttributeSmcService::follow() {
    int error = 0;
    const auto text = files_.read(attributes_.behaviourFile, error);
    if (!text) return codeOfErrno(error);
    const std::string current = parseBehaviour(*text).current;
    if (current == behaviour_) return kKernSuccess;
    behaviour_ = current;
    const bool stopped = current == kInhibit;
    held_[kCH0B] = held_[kCH0C] = stopped ? kStop : 0;
    held_[kCH0I] = current == kDischarge ? kDischarging : 0;
    return kKernSuccess;
}

std::string KernelAttributeSmcService::wantedBehaviour() const {
    if (attributes_.discharge && held_[kCH0I] == kDischarging) return kDischarge;
    if (attributes_.inhibit && held_[lastStop_] == kStop) return kInhibit;
    return kAuto;
}

}  // namespace ampwarden
