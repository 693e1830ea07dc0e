#include "smc/SMCValueCodec.h"

#include <bit>

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

}  // namespace

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
