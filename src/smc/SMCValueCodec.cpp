#include "smc/SMCValueCodec.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <string>

#include "smc/SMCDataType.h"
#include "smc/SMCKeyCode.h"

namespace ampwarden {

namespace {

double bigEndian16(const SMCBytes& b) { return b[0] * 256.0 + b[1]; }

double bigEndian32(const SMCBytes& b) {
    return static_cast<double>((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                               (std::uint32_t{b[2]} << 8) | b[3]);
}

double littleEndianFloat(const SMCBytes& b) {
    const std::uint32_t bits = b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
                               (std::uint32_t{b[3]} << 24);
    return std::bit_cast<float>(bits);
}

// Signed-looking fixed-point types, read as unsigned 16-bit quantities over 2^fraction.
std::optional<double> fixedPointDivisor(SMCDataType type) {
    switch (type) {
        case SMCDataType::SP1E:
            return 16384;
        case SMCDataType::SP3C:
            return 4096;
        case SMCDataType::SP4B:
            return 2048;
        case SMCDataType::SP5A:
            return 1024;
        case SMCDataType::SP78:
            return 256;
        case SMCDataType::SP87:
            return 128;
        case SMCDataType::SP96:
            return 64;
        case SMCDataType::SPB4:
            return 16;
        case SMCDataType::SPF0:
            return 1;
        default:
            return std::nullopt;
    }
}

struct NumberFormat {
    std::string_view type;
    std::size_t size;
    double scale;      // raw = value * scale
    double low, high;  // the values it holds, inclusive
};

// sp78 is two's complement, 7 integer and 8 fraction bits.
constexpr NumberFormat kNumberFormats[] = {
    {"ui8 ", 1, 1, 0, 255}, {"ui16", 2, 1, 0, 65535},       {"ui32", 4, 1, 0, 4294967295.0},
    {"flag", 1, 1, 0, 1},   {"fpe2", 2, 4, 0, 65535 / 4.0}, {"sp78", 2, 256, -128, 32767 / 256.0},
};

std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodeSMCNumber(std::string_view dataType, double value,
                                                         std::string& why) {
    const NumberFormat* format = nullptr;
    for (const NumberFormat& candidate : kNumberFormats) {
        if (candidate.type == dataType) format = &candidate;
    }
    if (format == nullptr) {
        why = "type \"" + std::string(dataType) +
              "\" is not one of ui8, ui16, ui32, flag, fpe2, sp78 (write its bytes instead)";
        return std::nullopt;
    }
    const std::string type = std::string(format->type.substr(0, format->type.find(' ')));
    if (!(value >= format->low && value <= format->high)) {
        why = type + " holds " + numberText(format->low) + " to " + numberText(format->high) +
              ", not " + numberText(value);
        return std::nullopt;
    }
    const double scaled = value * format->scale;
    if (scaled != std::floor(scaled)) {
        why = type + " holds steps of " + numberText(1 / format->scale) + ", not " +
              numberText(value);
        return std::nullopt;
    }
    auto raw = static_cast<std::uint32_t>(static_cast<std::int64_t>(scaled) & 0xFFFFFFFF);
    std::vector<std::uint8_t> bytes(format->size);
    for (std::size_t i = 0; i < format->size; ++i) {
        bytes[format->size - 1 - i] = static_cast<std::uint8_t>(raw >> (8 * i));
    }
    return bytes;
}

std::optional<double> decodeSMCNumber(std::string_view dataType, const SMCBytes& bytes) {
    const std::optional<SMCDataType> type = smcDataTypeFromRaw(dataType);
    if (!type) return std::nullopt;
    if (auto divisor = fixedPointDivisor(*type)) return bigEndian16(bytes) / *divisor;
    switch (*type) {
        case SMCDataType::UI8:
            return bytes[0];
        case SMCDataType::UI16:
            return bigEndian16(bytes);
        case SMCDataType::UI32:
            return bigEndian32(bytes);
        case SMCDataType::FLT:
            return littleEndianFloat(bytes);
        case SMCDataType::FPE2:
            return bytes[0] * 64.0 + (bytes[1] >> 2);
        default:
            return std::nullopt;
    }
}

void encodeFpe2(std::uint16_t value, SMCBytes& bytes) {
    bytes[0] = static_cast<std::uint8_t>(value >> 6);
    bytes[1] = static_cast<std::uint8_t>((value << 2) & 0xFF);
}

void encodeFloat(float value, SMCBytes& bytes) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::string fanDescriptorName(const SMCBytes& bytes) {
    std::string_view name(reinterpret_cast<const char*>(bytes.data()) + 4, 12);
    const auto first = name.find_first_not_of(" \t");
    if (first == std::string_view::npos) return "";
    const auto last = name.find_last_not_of(" \t");
    return latin1ToUtf8(name.substr(first, last - first + 1));
}

}  // namespace ampwarden
