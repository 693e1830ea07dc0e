#include "platform/SmcPortProtocol.h"

#include <algorithm>

#include "platform/MachError.h"

namespace ampwarden {

namespace {

// The SMC's result bytes for refused commands.
constexpr std::uint8_t kResultKeyNotFound = 0x84;
constexpr std::uint8_t kResultWriteOnly = 0x85;
constexpr std::uint8_t kResultReadOnly = 0x86;
constexpr std::uint8_t kResultBadIndex = 0xb8;

}  // namespace

kern_return_t SmcPortProtocol::codeOfResult(std::uint8_t result) {
    switch (result) {
        case kResultKeyNotFound:
        case kResultBadIndex:
            return kIOReturnNotFound;
        case kResultReadOnly:
            return kIOReturnNotWritable;
        case kResultWriteOnly:
            return kIOReturnNotReadable;
        default:
            return kIOReturnIOError;
    }
}

bool SmcPortProtocol::statusLooksSane() {
    const std::uint8_t status = ports_.in(kCommandPort);
    return (status & ~(kStatusAwaitingData | kStatusInputFull | kStatusBusy)) == 0;
}

bool SmcPortProtocol::waitStatus(std::uint8_t mask, std::uint8_t value) {
    auto pause = timing_.firstPause;
    std::chrono::microseconds waited{0};
    for (;;) {
        if ((ports_.in(kCommandPort)&mask) == value) return true;
        if (waited >= timing_.budget) return false;
        ports_.pause(pause);
        waited += pause;
        pause = std::min(pause * 2, timing_.longestPause);
    }
}

kern_return_t SmcPortProtocol::begin(std::uint8_t command) {
    // A device still busy with someone's transaction is nudged with a read command, which
    // makes it drop that transaction; if it stays busy after that, it is stuck.
    if (!waitStatus(kStatusBusy, 0)) {
        ports_.out(kCommandPort, kReadCommand);
        if (!waitStatus(kStatusBusy, 0)) return kIOReturnBusy;
    }
    return sendByte(kCommandPort, command);
}

kern_return_t SmcPortProtocol::sendByte(std::uint16_t port, std::uint8_t value) {
    if (!waitStatus(kStatusInputFull, 0)) return kIOReturnTimeout;
    ports_.out(port, value);
    return kKernSuccess;
}

kern_return_t SmcPortProtocol::sendHeader(std::uint8_t command, std::uint32_t argument,
                                          std::size_t size) {
    kern_return_t code = begin(command);
    for (int shift = 24; code == kKernSuccess && shift >= 0; shift -= 8) {
        code = sendByte(kDataPort, static_cast<std::uint8_t>(argument >> shift));
    }
    if (code == kKernSuccess) code = sendByte(kDataPort, static_cast<std::uint8_t>(size));
    return code;
}

kern_return_t SmcPortProtocol::awaitData(std::uint8_t& result) {
    auto pause = timing_.firstPause;
    std::chrono::microseconds waited{0};
    for (;;) {
        const std::uint8_t status = ports_.in(kCommandPort);
        if ((status & kStatusAwaitingData) != 0) return kKernSuccess;
        // Idle without data: the device ended the transaction, if it left a result saying so.
        if ((status & kStatusBusy) == 0) {
            result = ports_.in(kErrorPort);
            if (result != 0) return codeOfResult(result);
        }
        if (waited >= timing_.budget) return kIOReturnTimeout;
        ports_.pause(pause);
        waited += pause;
        pause = std::min(pause * 2, timing_.longestPause);
    }
}

kern_return_t SmcPortProtocol::abandon(kern_return_t code) {
    if ((ports_.in(kCommandPort)&kStatusBusy) != 0) ports_.out(kCommandPort, kReadCommand);
    return code;
}

std::optional<std::uint8_t> SmcPortProtocol::waitDataOrIdle() {
    auto pause = timing_.firstPause;
    std::chrono::microseconds waited{0};
    for (;;) {
        const std::uint8_t status = ports_.in(kCommandPort);
        if ((status & kStatusAwaitingData) != 0 || (status & kStatusBusy) == 0) return status;
        if (waited >= timing_.budget) return std::nullopt;
        ports_.pause(pause);
        waited += pause;
        pause = std::min(pause * 2, timing_.longestPause);
    }
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
    kern_return_t code = sendHeader(command, argument, size);
    for (std::size_t i = 0; code == kKernSuccess && i < size; ++i) {
        code = awaitData(result);
        if (code == kKernSuccess) bytes[i] = ports_.in(kDataPort);
    }
    if (code == kIOReturnTimeout) return abandon(code);
    if (code != kKernSuccess) return code;
    flush();
    return waitStatus(kStatusBusy, 0) ? kKernSuccess : kIOReturnTimeout;
}

kern_return_t SmcPortProtocol::write(std::uint32_t key, const std::uint8_t* bytes,
                                     std::size_t size) {
    kern_return_t code = sendHeader(kWriteCommand, key, size);
    for (std::size_t i = 0; code == kKernSuccess && i < size; ++i) {
        code = sendByte(kDataPort, bytes[i]);
    }
    if (code == kIOReturnTimeout) return abandon(code);
    if (code != kKernSuccess) return code;
    return waitStatus(kStatusBusy, 0) ? kKernSuccess : kIOReturnTimeout;
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
