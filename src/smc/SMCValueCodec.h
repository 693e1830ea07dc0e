#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ampwarden {

using SMCBytes = std::array<std::uint8_t, 32>;

// The number an SMC value stands for under its data type; none for "fp2e", "{fds" and any
// type the helper does not decode. Reads from the start of `bytes` whatever the data size.
std::optional<double> decodeSMCNumber(std::string_view dataType, const SMCBytes& bytes);

// The bytes that stand for `value` under `dataType` (ui8, ui16, ui32, flag, fpe2, sp78; the
// integer types and fpe2 big-endian as the SMC keeps them); none, with `why` saying so, when
// the type is another or cannot hold the value exactly (out of range, or finer than its
// step: a whole number, a quarter for fpe2, 1/256 for sp78).
std::optional<std::vector<std::uint8_t>> encodeSMCNumber(std::string_view dataType, double value,
                                                         std::string& why);

// The largest value the unsigned 14.2 fixed-point type can carry.
inline constexpr std::int64_t kFpe2Max = 16383;

// Writes `value` (0 to kFpe2Max) as fpe2 into bytes 0 and 1: 2000 -> 0x1F 0x40.
void encodeFpe2(std::uint16_t value, SMCBytes& bytes);

// Writes `value` as an IEEE 754 single into bytes 0 to 3, least significant byte first:
// 2000 -> 0x00 0x00 0xFA 0x44.
void encodeFloat(float value, SMCBytes& bytes);

// The name in a fan descriptor ("{fds"): bytes 4 to 15 as text, blanks and tabs trimmed at
// both ends; other characters, NUL among them, stay.
std::string fanDescriptorName(const SMCBytes& bytes);

}  // namespace ampwarden
