// The record and value codecs: a data type and 32 value bytes decoded as the helper and the
// key tool do, key codes packed and unpacked, and the encoders checked against the decoder.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "smc/SMCKeyCode.h"
#include "smc/SMCValueCodec.h"

using namespace ampwarden;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::string type(reinterpret_cast<const char*>(data), 4);
    SMCBytes bytes{};
    std::memcpy(bytes.data(), data + 4, std::min(size - 4, bytes.size()));

    (void)decodeSMCNumber(type, bytes);
    (void)fanDescriptorName(bytes);
    (void)latin1ToUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::uint32_t code = toUInt32(type);
    if (isValidKey(type) && toUInt32(toString(code)) != code) std::abort();

    const std::uint16_t speed =
        static_cast<std::uint16_t>((bytes[0] << 8 | bytes[1]) % (kFpe2Max + 1));
    SMCBytes fpe2{};
    encodeFpe2(speed, fpe2);
    if (decodeSMCNumber("fpe2", fpe2) != static_cast<double>(speed)) std::abort();
    float number = 0;
    std::memcpy(&number, bytes.data(), sizeof number);
    SMCBytes flt{};
    encodeFloat(number, flt);
    const auto decoded = decodeSMCNumber("flt ", flt);
    if (std::isfinite(number) && decoded != static_cast<double>(number)) std::abort();

    // What `set` encodes, the decoder reads back; any number under any type is safe to try.
    std::string why;
    const double whole = static_cast<double>(bytes[2] << 8 | bytes[3]);
    for (const char* integerType : {"ui8 ", "ui16", "ui32"}) {
        const auto encoded = encodeSMCNumber(integerType, whole, why);
        if (!encoded) continue;
        SMCBytes held{};
        std::copy(encoded->begin(), encoded->end(), held.begin());
        if (decodeSMCNumber(integerType, held) != whole) std::abort();
    }
    (void)encodeSMCNumber(type, static_cast<double>(number), why);
    return 0;
}
