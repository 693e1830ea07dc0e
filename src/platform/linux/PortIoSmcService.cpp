#include "platform/linux/PortIoSmcService.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/MachError.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"
#include "smc/SMCResult.h"
#include "smc/SMCTexts.h"

namespace ampwarden {

namespace {

constexpr std::chrono::milliseconds kLockPause{5};

kern_return_t fail(SMCKeyData_t& output, kern_return_t code, std::uint8_t result) {
    output.result = result;
    return code;
}

bool failed(std::string& why, std::string reason) {
    why = std::move(reason);
    return false;
}

}  // namespace

PortIoSmcService::PortIoSmcService(std::unique_ptr<PortIo> ports, std::string lockPath,
                                   SmcPortProtocol::Timing timing)
    : ports_(std::move(ports)), protocol_(*ports_, timing), lockPath_(std::move(lockPath)) {}

PortIoSmcService::~PortIoSmcService() = default;

std::string PortIoSmcService::defaultLockPath() { return "/run/lumora/smc-ports.lock"; }

bool PortIoSmcService::probe(std::string& why) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!protocol_.statusLooksSane())
        return failed(why, "no SMC answers on port 0x304 (status is not sane)");
    if (lockOut() != kKernSuccess) return failed(why, "cannot take the lock file " + lockPath_);
    std::uint8_t count[4] = {};
    std::uint8_t result = 0;
    const kern_return_t code = protocol_.read(SmcPortProtocol::kReadCommand,
                                              toUInt32(smctext::kKeyCountKey), count, 4, result);
    unlock();
    if (code != kKernSuccess) return failed(why, "reading #KEY failed: " + machErrorText(code));
    const std::uint32_t keys = static_cast<std::uint32_t>(count[0]) << 24 |
                               static_cast<std::uint32_t>(count[1]) << 16 |
                               static_cast<std::uint32_t>(count[2]) << 8 | count[3];
    if (keys == 0 || keys > kMostKeys) {
        return failed(why, "#KEY says " + std::to_string(keys) + " keys, which no SMC has");
    }
    return true;
}

kern_return_t PortIoSmcService::answer(const SMCKeyData_t& input, SMCKeyData_t& output) {
    kern_return_t code = lockOut();
    if (code == kKernSuccess) {
        code = call(input, output);
        unlock();
    }
    return code;
}

kern_return_t PortIoSmcService::lockOut() {
    if (lockPath_.empty()) return kKernSuccess;
    if (!lockFd_.valid()) {
        const std::string folder = lockPath_.substr(0, lockPath_.rfind('/'));
        if (!folder.empty()) ::mkdir(folder.c_str(), 0755);  // exists already: fine
        lockFd_.reset(::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!lockFd_.valid()) return kIOReturnNotPermitted;
    }
    // Another process's transaction takes milliseconds; one that holds the lock for a whole
    // second is stuck, and we answer busy rather than wait on it.
    for (auto waited = std::chrono::milliseconds(0); waited < kLockBudget; waited += kLockPause) {
        if (::flock(lockFd_.get(), LOCK_EX | LOCK_NB) == 0) return kKernSuccess;
        if (errno != EWOULDBLOCK && errno != EINTR) return kIOReturnNotPermitted;
        ports_->pause(kLockPause);
    }
    return kIOReturnBusy;
}

void PortIoSmcService::unlock() {
    if (lockFd_.valid()) ::flock(lockFd_.get(), LOCK_UN);
}

kern_return_t PortIoSmcService::call(const SMCKeyData_t& input, SMCKeyData_t& output) {
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

kern_return_t PortIoSmcService::keyInfo(std::uint32_t key, SmcPortProtocol::KeyInfo& info,
                                        SMCKeyData_t& output) {
    if (auto known = infos_.find(key); known != infos_.end()) {
        info = known->second;
        return kKernSuccess;
    }
    const kern_return_t code = protocol_.keyInfo(key, info, output.result);
    if (code == kKernSuccess) infos_.emplace(key, info);
    return code;
}

kern_return_t PortIoSmcService::readKeyInfo(const SMCKeyData_t& input, SMCKeyData_t& output) {
    SmcPortProtocol::KeyInfo info;
    const kern_return_t code = keyInfo(input.key, info, output);
    if (code != kKernSuccess) return code;
    output.keyInfo.dataSize = info.size;
    output.keyInfo.dataType = info.type;
    output.keyInfo.dataAttributes = info.flags;
    return kKernSuccess;
}

kern_return_t PortIoSmcService::readBytes(const SMCKeyData_t& input, SMCKeyData_t& output) {
    SmcPortProtocol::KeyInfo info;
    const kern_return_t code = keyInfo(input.key, info, output);
    if (code != kKernSuccess) return code;
    if (input.keyInfo.dataSize != info.size || info.size > output.bytes.size()) {
        return fail(output, kIOReturnBadArgument, smcresult::kBadArgument);
    }
    output.keyInfo.dataSize = info.size;
    return protocol_.read(SmcPortProtocol::kReadCommand, input.key, output.bytes.data(), info.size,
                          output.result);
}

kern_return_t PortIoSmcService::writeBytes(const SMCKeyData_t& input, SMCKeyData_t& output) {
    SmcPortProtocol::KeyInfo info;
    kern_return_t code = keyInfo(input.key, info, output);
    if (code != kKernSuccess) return code;
    if ((info.flags & SmcPortProtocol::kFlagWritable) == 0) {
        return fail(output, kIOReturnNotWritable, smcresult::kNotWritable);
    }
    if (input.keyInfo.dataSize != info.size || info.size > input.bytes.size()) {
        return fail(output, kIOReturnBadArgument, smcresult::kBadArgument);
    }
    const bool readBack = (info.flags & SmcPortProtocol::kFlagReadable) != 0;
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        code = writeOnce(input.key, input.bytes.data(), info.size, readBack);
        // A device that did not answer in time will not answer a second asking either.
        if (code != kIOReturnIOError) break;
    }
    return code;
}

kern_return_t PortIoSmcService::writeOnce(std::uint32_t key, const std::uint8_t* bytes,
                                          std::size_t size, bool readBack) {
    std::uint8_t result = 0;
    kern_return_t code = protocol_.write(key, bytes, size, result);
    if (code != kKernSuccess || !readBack) return code;
    std::uint8_t stored[32] = {};
    code = protocol_.read(SmcPortProtocol::kReadCommand, key, stored, size, result);
    if (code != kKernSuccess) return code;
    // Cut off by another client's transaction, or changed right after: not done.
    return std::memcmp(stored, bytes, size) == 0 ? kKernSuccess : kIOReturnIOError;
}

kern_return_t PortIoSmcService::readIndex(const SMCKeyData_t& input, SMCKeyData_t& output) {
    std::uint32_t key = 0;
    const kern_return_t code = protocol_.keyAt(input.data32, key, output.result);
    if (code == kKernSuccess) output.key = key;
    return code;
}

}  // namespace ampwarden
