#include "emulator/SmcPortDevice.h"

#include <algorithm>
#include <cstddef>

#include "emulator/SmcEmulator.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCResult.h"
#include "smc/SmcPortProtocol.h"

namespace ampwarden {

namespace {

using Protocol = SmcPortProtocol;

std::uint32_t bigEndian(const std::vector<std::uint8_t>& bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

void appendBigEndian(std::deque<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

SmcPortDevice::SmcPortDevice(SmcKeyTable table) : table_(std::move(table)) {}

std::uint8_t SmcPortDevice::in(std::uint16_t port) {
    if (port == Protocol::kCommandPort) {
        ++counts.statusPolls;
        return status();
    }
    if (port == Protocol::kDataPort) {
        ++counts.dataIn;
        return nextByte();
    }
    ++counts.other;
    return port == Protocol::kErrorPort ? result_ : 0xff;
}

void SmcPortDevice::out(std::uint16_t port, std::uint8_t value) {
    if (port == Protocol::kCommandPort) {
        ++counts.commands;
        command(value);
    } else if (port == Protocol::kDataPort) {
        ++counts.dataOut;
        data(value);
    } else {
        ++counts.other;
    }
    readyAt_ = now_ + faults.slowness;
}

std::uint8_t SmcPortDevice::status() {
    const bool ready = now_ >= readyAt_;
    std::uint8_t bits = 0;
    if (phase_ != Phase::idle || faults.busyStuck) bits |= Protocol::kStatusBusy;
    if (!ready || (faults.inputNeverFrees && phase_ != Phase::idle))
        bits |= Protocol::kStatusInputFull;
    if (ready && phase_ == Phase::sending && !output_.empty())
        bits |= Protocol::kStatusAwaitingData;
    if (refusedCommand_) bits |= Protocol::kStatusAwaitingCommand;
    return bits;
}

void SmcPortDevice::command(std::uint8_t value) {
    if (faults.silentAfter == 0) return;
    if (faults.silentAfter > 0) --faults.silentAfter;
    // A command in the middle of a transaction drops it, and the device goes idle: this is
    // also how a driver clears a device left busy by someone else.
    const bool interrupts = phase_ != Phase::idle;
    argument_.clear();
    input_.clear();
    output_.clear();
    result_ = 0;
    refusedCommand_ = false;
    phase_ = interrupts ? Phase::idle : Phase::argument;
    if (faults.onlyReads && value != Protocol::kReadCommand) {
        // QEMU's way: unacknowledged, and the last command stays in force, so that the bytes
        // that follow make a read of it.
        refuse(smcresult::kBadCommand);
        refusedCommand_ = true;
        return;
    }
    command_ = value;
    if (value < Protocol::kReadCommand || value > Protocol::kKeyInfoCommand) {
        refuse(smcresult::kBadCommand);
    }
}

void SmcPortDevice::data(std::uint8_t value) {
    switch (phase_) {
        case Phase::argument:
            argument_.push_back(value);
            if (argument_.size() == 4) phase_ = Phase::length;
            return;
        case Phase::length:
            length_ = value;
            start();
            return;
        case Phase::receiving:
            input_.push_back(value);
            if (input_.size() == length_) commitWrite();
            return;
        case Phase::idle:
            if (refusedCommand_ && command_ == Protocol::kReadCommand) {
                refusedCommand_ = false;
                phase_ = Phase::argument;
                argument_.push_back(value);
            }
            return;
        case Phase::sending:
        case Phase::lingering:
            return;  // nobody asked for it: dropped
    }
}

std::uint8_t SmcPortDevice::nextByte() {
    if (phase_ != Phase::sending || output_.empty() || now_ < readyAt_) return 0xff;
    const std::uint8_t byte = output_.front();
    output_.pop_front();
    readyAt_ = now_ + faults.slowness;
    if (output_.empty()) phase_ = faults.lingers ? Phase::lingering : Phase::idle;
    return byte;
}

void SmcPortDevice::restart() {
    phase_ = Phase::idle;
    output_.clear();
    input_.clear();
    result_ = 0;
    refusedCommand_ = false;
    readyAt_ = now_;
}

void SmcPortDevice::refuse(std::uint8_t result) {
    result_ = result;
    phase_ = Phase::idle;
}

void SmcPortDevice::start() {
    const std::uint32_t argument = bigEndian(argument_);
    if (command_ == Protocol::kKeyByIndexCommand) {
        if (argument >= table_.size()) return refuse(smcresult::kBadIndex);
        appendBigEndian(output_, toUInt32(table_.keys()[argument].key));
    } else {
        const EmulatedKey* key = table_.find(argument);
        if (key == nullptr) return refuse(smcresult::kKeyNotFound);
        result_ = 0;  // a refusal left over from a command that was never acknowledged
        if (command_ == Protocol::kWriteCommand) {
            if (key->readOnly) return refuse(smcresult::kNotWritable);
            if (length_ != key->bytes.size()) return refuse(smcresult::kBadArgument);
            phase_ = Phase::receiving;
            return;
        }
        if (command_ == Protocol::kKeyInfoCommand) {
            output_.push_back(static_cast<std::uint8_t>(key->bytes.size()));
            appendBigEndian(output_, toUInt32(key->dataType));
            output_.push_back(key->readOnly ? Protocol::kFlagReadable
                                            : Protocol::kFlagReadable | Protocol::kFlagWritable);
        } else {
            output_.insert(output_.end(), key->bytes.begin(),
                           key->bytes.begin() +
                               static_cast<std::ptrdiff_t>(std::min(length_, key->bytes.size())));
        }
    }
    output_.resize(std::max(output_.size(), length_));  // a longer read gets zero bytes
    output_.insert(output_.end(), faults.leftoverBytes, 0x5a);
    phase_ = Phase::sending;
}

void SmcPortDevice::commitWrite() {
    phase_ = faults.lingers ? Phase::lingering : Phase::idle;
    if (faults.interleavedWrites > 0) {
        // Another client's command came between our last two bytes: the transaction was his.
        --faults.interleavedWrites;
        return;
    }
    EmulatedKey* key = table_.find(bigEndian(argument_));
    std::copy(input_.begin(), input_.end(), key->bytes.begin());
}

}  // namespace ampwarden
