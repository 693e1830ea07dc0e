#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/PortIo.h"
#include "platform/SmcService.h"

namespace ampwarden {

// The SMC's transactions on its I/O ports: a command byte on the command port, a four-byte
// argument and a length on the data port, then the data either way. Every wait polls the
// status register with a doubling pause and gives up after its budget, so a stuck device
// costs a bounded time and never a hang. Not thread-safe; the caller serialises.
class SmcPortProtocol {
  public:
    static constexpr std::uint16_t kDataPort = 0x300;
    static constexpr std::uint16_t kCommandPort = 0x304;  // written: command; read: status
    static constexpr std::uint16_t kErrorPort = 0x31e;    // the SMC's result of a refused command
    static constexpr std::uint16_t kRegionStart = 0x300;
    static constexpr std::uint16_t kRegionSize = 0x20;

    static constexpr std::uint8_t kReadCommand = 0x10;
    static constexpr std::uint8_t kWriteCommand = 0x11;
    static constexpr std::uint8_t kKeyByIndexCommand = 0x12;
    static constexpr std::uint8_t kKeyInfoCommand = 0x13;

    static constexpr std::uint8_t kStatusAwaitingData = 0x01;
    static constexpr std::uint8_t kStatusInputFull = 0x02;
    // Set while the device works on a transaction: it acknowledges a command and each byte
    // it accepts. A command it does not take is left without it.
    static constexpr std::uint8_t kStatusBusy = 0x04;
    // Some SMCs (QEMU's) show this while idle after refusing a command.
    static constexpr std::uint8_t kStatusAwaitingCommand = 0x08;

    // Key information flags.
    static constexpr std::uint8_t kFlagReadable = 0x80;
    static constexpr std::uint8_t kFlagWritable = 0x40;
    static constexpr std::uint8_t kFlagFunction = 0x10;

    // Leftover bytes read and dropped after a read, at most.
    static constexpr int kMaxFlush = 16;

    struct Timing {
        std::chrono::microseconds firstPause{8};
        std::chrono::microseconds longestPause{4096};
        std::chrono::microseconds budget{250000};  // per wait
    };

    struct KeyInfo {
        std::uint8_t size = 0;
        std::uint32_t type = 0;
        std::uint8_t flags = 0;
    };

    explicit SmcPortProtocol(PortIo& ports) : ports_(ports) {}
    SmcPortProtocol(PortIo& ports, Timing timing) : ports_(ports), timing_(timing) {}

    // Each returns 0 or the code of what went wrong: kIOReturnBusy when the device stays busy
    // before the transaction, kIOReturnTimeout when a step is not answered within its budget,
    // and for a command, key or byte the device did not take, the code of the result it left
    // on the error port (`result` holds it; see codeOfResult). Whatever went wrong, the device
    // is left idle, so the next transaction does not wait out this one's failure.
    kern_return_t read(std::uint8_t command, std::uint32_t argument, std::uint8_t* bytes,
                       std::size_t size, std::uint8_t& result);
    kern_return_t write(std::uint32_t key, const std::uint8_t* bytes, std::size_t size,
                        std::uint8_t& result);

    kern_return_t keyInfo(std::uint32_t key, KeyInfo& info, std::uint8_t& result);
    kern_return_t keyAt(std::uint32_t index, std::uint32_t& key, std::uint8_t& result);
    // The SMC's result of a transaction it ended early, as a kernel code: kIOReturnNotFound
    // for an unknown key or index, kIOReturnNotWritable / kIOReturnNotReadable for a key that
    // cannot be written / read, kIOReturnBadArgument for a command or size it does not take,
    // else kIOReturnIOError (e.g. interrupted: worth another try).
    static kern_return_t codeOfResult(std::uint8_t result);

    // A status that a present SMC can show, idle or working: no bits beyond the four.
    bool statusLooksSane();

  private:
    // Polls the status with a doubling pause until `settled(status)`; the status that settled
    // it, or none when the budget runs out.
    template <typename Settled>
    std::optional<std::uint8_t> poll(Settled settled);
    // Polls the status until (status & mask) == value; false when the budget runs out.
    bool waitStatus(std::uint8_t mask, std::uint8_t value);
    // As waitStatus, but a device that has gone idle with a result on its error port has
    // ended the transaction: its code, with `result` set.
    kern_return_t awaitStatus(std::uint8_t mask, std::uint8_t value, std::uint8_t& result);
    // Polls until the status has data to read or is no longer busy; the last status read, or
    // none when the budget runs out.
    std::optional<std::uint8_t> waitDataOrIdle();
    kern_return_t begin(std::uint8_t command);
    // One byte of the transaction under way, once the device has taken the one before.
    kern_return_t sendData(std::uint8_t value, std::uint8_t& result);
    kern_return_t sendHeader(std::uint8_t command, std::uint32_t argument, std::size_t size,
                             std::uint8_t& result);
    void flush();
    // Ends a transaction: waits for the device to go idle, and drops one that failed half-way
    // or did not end in time, so that the next one finds the device idle.
    kern_return_t finish(kern_return_t code);

    PortIo& ports_;
    Timing timing_;
};

}  // namespace ampwarden
