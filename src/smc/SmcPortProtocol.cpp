#include "smc/SmcPortProtocol.h"

#include <algorithm>

#include "platform/MachError.h"
#include "smc/SMCResult.h"

namespace ampwarden {

kern_return_t SmcPortProtocol::codeOfResult(std::uint8_t result) {
    switch (result) {
        case smcresult::kKeyNotFound:
        case smcresult::kBadIndex:
            return kIOReturnNotFound;
        case smcresult::kNotWritable:
            return kIOReturnNotWritable;
        case smcresult::kWriteOnly:
            return kIOReturnNotReadable;
        case smcresult::kBadCommand:
        case smcresult::kStillBadCommand:
        case smcresult::kBadArgument:
            return kIOReturnBadArgument;
        default:
            return kIOReturnIOError;
    }
}

bool SmcPortProtocol::statusLooksSane() {
    const std::uint8_t status = ports_.in(kCommandPort);
    return (status &
            ~(kStatusAwaitingData | kStatusInputFull | kStatusBusy | kStatusAwaitingCommand)) == 0;
}

template <typename Settled>
std::optional<std::uint8_t> SmcPortProtocol::poll(Settled settled) {
    auto pause = timing_.firstPause;
    std::chrono::microseconds waited{0};
    for (;;) {
        const std::uint8_t status = ports_.in(kCommandPort);
        if (settled(status)) return status;
        if (waited >= timing_.budget) return std::nullopt;
        ports_.pause(pause);
        waited += pause;
        pause = std::min(pause * 2, timing_.longestPause);
    }
}

bool SmcPortProtocol::waitStatus(std::uint8_t mask, std::uint8_t value) {
    return poll([&](std::uint8_t status) { return (status & mask) == value; }).has_value();
}

kern_return_t SmcPortProtocol::awaitStatus(std::uint8_t mask, std::uint8_t value,
                                           std::uint8_t& result) {
    int idleWithResult = 0;
    const auto settled = poll([&](std::uint8_t status) {
        if ((status & mask) == value) return true;
        // Neither working nor taking input: the device ended the transaction, if it left a
        // result saying so. A device that never acknowledged our command ends up here too.
        // An SMC may show this for a moment after taking a byte, before it acknowledges it,
        // while its error port still holds an old result: only a second look decides.
        if ((status & (kStatusBusy | kStatusInputFull)) != 0) {
            idleWithResult = 0;
            return false;
        }
        result = ports_.in(kErrorPort);
        idleWithResult = result != 0 ? idleWithResult + 1 : 0;
        return idleWithResult == 2;
    });
    if (!settled) return kIOReturnTimeout;
    return (*settled & mask) == value ? kKernSuccess : codeOfResult(result);
}

kern_return_t SmcPortProtocol::begin(std::uint8_t command) {
    // A device still busy with someone's transaction is nudged with a read command, which
    // makes it drop that transaction; if it stays busy after that, it is stuck.
    if (!waitStatus(kStatusBusy, 0)) {
        ports_.out(kCommandPort, kReadCommand);
        if (!waitStatus(kStatusBusy, 0)) return kIOReturnBusy;
    }
    if (!waitStatus(kStatusInputFull, 0)) return kIOReturnTimeout;
    ports_.out(kCommandPort, command);
    return kKernSuccess;
}

kern_return_t SmcPortProtocol::sendData(std::uint8_t value, std::uint8_t& result) {
    // Busy: the device acknowledged the command (or took the byte before) and waits for more.
    const kern_return_t code = awaitStatus(kStatusInputFull | kStatusBusy, kStatusBusy, result);
    if (code == kKernSuccess) ports_.out(kDataPort, value);
    return code;
}

kern_return_t SmcPortProtocol::sendHeader(std::uint8_t command, std::uint32_t argument,
                                          std::size_t size, std::uint8_t& result) {
    kern_return_t code = begin(command);
    for (int shift = 24; code == kKernSuccess && shift >= 0; shift -= 8) {
        code = sendData(static_cast<std::uint8_t>(argument >> shift), result);
    }
    if (code == kKernSuccess) code = sendData(static_cast<std::uint8_t>(size), result);
    return code;
}

kern_return_t SmcPortProtocol::finish(kern_return_t code) {
    if (code == kKernSuccess && !waitStatus(kStatusBusy, 0)) code = kIOReturnTimeout;
    if (code != kKernSuccess && (ports_.in(kCommandPort)&kStatusBusy) != 0) {
        ports_.out(kCommandPort, kReadCommand);
    }
    return code;
}

std::optional<std::uint8_t> SmcPortProtocol::waitDataOrIdle() {
    return poll([](std::uint8_t status) {
        return (status & kStatusAwaitingData) != 0 || (status & kStatusBusy) == 0;
    });
}

void SmcPortProtocol::flush() {
    // The device may offer more than was asked for, at its own pace; what it offers is read
    // and dropped until it goes idle.
    for (int i = 0; i < kMaxFlush; ++i) {
        const auto status = waitDataOrIdle();
        if (!status || (*status & kStatusAwaitingData) == 0) return;
        ports_.in(kDataPort);
    }
}

kern_return_t SmcPortProtocol::read(std::uint8_t command, std::uint32_t argument,
                                    std::uint8_t* bytes, std::size_t size, std::uint8_t& result) {
    result = 0;
    kern_return_t code = sendHeader(command, argument, size, result);
    for (std::size_t i = 0; code == kKernSuccess && i < size; ++i) {
        code = awaitStatus(kStatusAwaitingData, kStatusAwaitingData, result);
        if (code == kKernSuccess) bytes[i] = ports_.in(kDataPort);
    }
    if (code == kKernSuccess) flush();
    return finish(code);
}

kern_return_t SmcPortProtocol::write(std::uint32_t key, const std::uint8_t* bytes, std::size_t size,
                                     std::uint8_t& result) {
    result = 0;
    kern_return_t code = sendHeader(kWriteCommand, key, size, result);
    for (std::size_t i = 0; code == kKernSuccess && i < size; ++i) {
        code = sendData(bytes[i], result);
    }
    return finish(code);
}

kern_return_t SmcPortProtocol::keyInfo(std::uint32_t key, KeyInfo& info, std::uint8_t& result) {
    std::array<std::uint8_t, 6> reply{};
    const kern_return_t code = read(kKeyInfoCommand, key, reply.data(), reply.size(), result);
    if (code != kKernSuccess) return code;
    info.size = reply[0];
    info.type = static_cast<std::uint32_t>(reply[1]) << 24 |
                static_cast<std::uint32_t>(reply[2]) << 16 |
                static_cast<std::uint32_t>(reply[3]) << 8 | reply[4];
    info.flags = reply[5];
    return kKernSuccess;
}

kern_return_t SmcPortProtocol::keyAt(std::uint32_t index, std::uint32_t& key,
                                     std::uint8_t& result) {
    std::array<std::uint8_t, 4> reply{};
    const kern_return_t code = read(kKeyByIndexCommand, index, reply.data(), reply.size(), result);
    if (code != kKernSuccess) return code;
    key = static_cast<std::uint32_t>(reply[0]) << 24 | static_cast<std::uint32_t>(reply[1]) << 16 |
          static_cast<std::uint32_t>(reply[2]) << 8 | reply[3];
    return kKernSuccess;
}

}  // namespace ampwarden
