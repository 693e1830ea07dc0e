#include "emulator/SmcEmulator.h"

#include <algorithm>

#include "platform/MachError.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"
#include "smc/SMCResult.h"

namespace ampwarden {

namespace {

kern_return_t fail(SMCKeyData_t& output, kern_return_t code, std::uint8_t result) {
    output.result = result;
    return code;
}

}  // namespace

SmcEmulator::SmcEmulator(SmcKeyTable table) : table_(std::move(table)) {}

kern_return_t SmcEmulator::call(std::uint32_t selector, const SMCKeyData_t& input,
                                SMCKeyData_t& output) {
    output = SMCKeyData_t();
    if (selector != rawValue(SMCKeys::kernelIndex)) return kIOReturnUnsupported;
    output.key = input.key;
    output.data8 = input.data8;
    switch (smcKeysFromRaw(input.data8).value_or(SMCKeys::kernelIndex)) {
        case SMCKeys::readKeyInfo:
            return readKeyInfo(input, output);
        case SMCKeys::readBytes:
            return readBytes(input, output);
        case SMCKeys::writeBytes:
            return writeBytes(input, output);
        case SMCKeys::readIndex:
            return readIndex(input, output);
        default:
            return fail(output, kIOReturnUnsupported, smcresult::kBadArgument);
    }
}

EmulatorFrame::Bytes SmcEmulator::answer(const EmulatorFrame::Bytes& request) {
    SMCKeyData_t output;
    const kern_return_t code =
        call(EmulatorFrame::head(request), EmulatorFrame::record(request), output);
    return EmulatorFrame::reply(code, output);
}

kern_return_t SmcEmulator::readKeyInfo(const SMCKeyData_t& input, SMCKeyData_t& output) const {
    const EmulatedKey* key = table_.find(input.key);
    if (key == nullptr) return fail(output, kIOReturnNotFound, smcresult::kKeyNotFound);
    output.keyInfo.dataSize = static_cast<std::uint32_t>(key->bytes.size());
    output.keyInfo.dataType = toUInt32(key->dataType);
    return kKernSuccess;
}

kern_return_t SmcEmulator::readBytes(const SMCKeyData_t& input, SMCKeyData_t& output) const {
    const EmulatedKey* key = table_.find(input.key);
    if (key == nullptr) return fail(output, kIOReturnNotFound, smcresult::kKeyNotFound);
    if (input.keyInfo.dataSize != key->bytes.size()) {
        return fail(output, kIOReturnBadArgument, smcresult::kBadArgument);
    }
    output.keyInfo.dataSize = input.keyInfo.dataSize;
    std::copy(key->bytes.begin(), key->bytes.end(), output.bytes.begin());
    return kKernSuccess;
}

kern_return_t SmcEmulator::writeBytes(const SMCKeyData_t& input, SMCKeyData_t& output) {
    EmulatedKey* key = table_.find(input.key);
    if (key == nullptr) return fail(output, kIOReturnNotFound, smcresult::kKeyNotFound);
    if (key->readOnly) return fail(output, kIOReturnNotWritable, smcresult::kNotWritable);
    if (input.keyInfo.dataSize != key->bytes.size()) {
        return fail(output, kIOReturnBadArgument, smcresult::kBadArgument);
    }
    std::copy_n(input.bytes.begin(), key->bytes.size(), key->bytes.begin());
    if (writeObserver_) writeObserver_(*key);
    return kKernSuccess;
}

kern_return_t SmcEmulator::readIndex(const SMCKeyData_t& input, SMCKeyData_t& output) const {
    if (input.data32 >= table_.size())
        return fail(output, kIOReturnNotFound, smcresult::kKeyNotFound);
    output.key = toUInt32(table_.keys()[input.data32].key);
    return kKernSuccess;
}

}  // namespace ampwarden
