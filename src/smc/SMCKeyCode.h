#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ampwarden {

// Packs a four-character key or data-type text into its code, first character in the most
// significant byte ("#KEY" -> 0x234B4559). Only four-byte texts are within the contract:
// callers check keys with isValidKey first.
std::uint32_t toUInt32(std::string_view text);

// Unpacks a code into four characters, most significant byte first, each byte the character
// of that code point (UTF-8 encoded), nothing trimmed: 0x75693820 -> "ui8 ".
std::string toString(std::uint32_t code);

// True for a text the SMC can take as a key: exactly four 7-bit ASCII characters, trailing
// blanks included ("FS! "). Anything else must never reach the device.
bool isValidKey(std::string_view key);

// Bytes as text, one character per byte by code point (Latin-1 read, UTF-8 written).
std::string latin1ToUtf8(std::string_view bytes);

}  // namespace ampwarden
