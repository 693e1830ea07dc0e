#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

#include "emulator/SmcKeyTable.h"
#include "platform/PortIo.h"

namespace ampwarden {

// An SMC as its I/O ports show it: the command, data, status and error registers over an
// emulated key table, with a virtual clock that only pauses advance. Faults can be switched on
// to see how a driver copes. Counts every access. Not thread-safe.
class SmcPortDevice : public PortIo {
  public:
    struct Faults {
        bool busyStuck = false;         // the busy bit never clears
        bool inputNeverFrees = false;   // after the first byte in, the input buffer stays full
        std::size_t leftoverBytes = 0;  // extra bytes offered after every read's data
        int interleavedWrites = 0;      // this many writes are cut off by another client
        std::chrono::microseconds slowness{0};  // each byte in or out takes this long
        // Like QEMU's isa-applesmc: any command but a read is left unacknowledged, the status
        // shows 0x08 and the error port "bad command".
        bool onlyReads = false;
        bool lingers = false;  // a finished transaction stays busy until the next command
        int silentAfter = -1;  // this many more commands are taken, then none (-1: all)
    };

    struct Counts {
        std::uint64_t statusPolls = 0;  // reads of the status register
        std::uint64_t dataIn = 0;       // reads of the data register
        std::uint64_t dataOut = 0;      // writes to the data register
        std::uint64_t commands = 0;     // writes to the command register
        std::uint64_t other = 0;        // anything else, e.g. the result register
        std::uint64_t accesses() const { return statusPolls + dataIn + dataOut + commands + other; }
    };

    explicit SmcPortDevice(SmcKeyTable table = SmcKeyTable::intelLaptop());

    std::uint8_t in(std::uint16_t port) override;
    void out(std::uint16_t port, std::uint8_t value) override;
    void pause(std::chrono::microseconds duration) override { now_ += duration; }

    // As after a power cycle: no transaction under way, no result.
    void restart();

    Faults faults;
    Counts counts;
    const SmcKeyTable& table() const { return table_; }
    std::chrono::microseconds now() const { return now_; }

  private:
    enum class Phase { idle, argument, length, receiving, sending, lingering };

    std::uint8_t status();
    void command(std::uint8_t value);
    void data(std::uint8_t value);
    std::uint8_t nextByte();
    void start();  // the argument and length are in: look the key up, prepare the answer
    void refuse(std::uint8_t result);
    void commitWrite();

    SmcKeyTable table_;
    std::chrono::microseconds now_{0};
    std::chrono::microseconds readyAt_{0};  // the input buffer frees, data shows, at this time
    Phase phase_ = Phase::idle;
    std::uint8_t command_ = 0;
    std::vector<std::uint8_t> argument_;
    std::size_t length_ = 0;
    std::deque<std::uint8_t> output_;
    std::vector<std::uint8_t> input_;
    std::uint8_t result_ = 0;
    bool refusedCommand_ = false;  // shows as 0x08 until the next command
};

}  // namespace ampwarden
