#pragma once

#include <cstdint>

// The SMC's own result byte: what a reply record carries in `result`, and what the device
// leaves on its error port when it ends a port transaction early. The emulated device, the
// port protocol and the kernel-attribute service all answer with these.

namespace ampwarden::smcresult {

inline constexpr std::uint8_t kSuccess = 0x00;
inline constexpr std::uint8_t kInterrupted = 0x80;  // a command cut into another
inline constexpr std::uint8_t kStillBadCommand = 0x81;
inline constexpr std::uint8_t kBadCommand = 0x82;
inline constexpr std::uint8_t kKeyNotFound = 0x84;
inline constexpr std::uint8_t kWriteOnly = 0x85;
inline constexpr std::uint8_t kNotWritable = 0x86;  // a read-only key
inline constexpr std::uint8_t kBadArgument = 0x87;  // e.g. a write of the wrong size
inline constexpr std::uint8_t kBadIndex = 0xb8;

}  // namespace ampwarden::smcresult
