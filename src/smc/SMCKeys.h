#pragma once

#include <cstdint>
#include <optional>

namespace ampwarden {

// The user-client selector and the commands carried in a record's `data8`.
enum class SMCKeys : std::uint8_t {
    kernelIndex = 2,  // selector of every struct call
    readBytes = 5,
    writeBytes = 6,
    readIndex = 8,  // the key at index `data32`
    readKeyInfo = 9,
    readPLimit = 11,  // defined by the protocol, never sent
    readVers = 12,    // defined by the protocol, never sent
};

constexpr std::uint8_t rawValue(SMCKeys command) { return static_cast<std::uint8_t>(command); }

// The case for a raw byte; none for a byte that is no command.
std::optional<SMCKeys> smcKeysFromRaw(std::uint8_t raw);

}  // namespace ampwarden
