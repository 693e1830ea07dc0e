#include "smc/SMCKeyCode.h"

#include <algorithm>

namespace ampwarden {

std::uint32_t toUInt32(std::string_view text) {
    std::uint32_t code = 0;
    for (char c : text) code = (code << 8) | static_cast<std::uint8_t>(c);
    return code;
}

std::string toString(std::uint32_t code) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<char>((code >> shift) & 0xFF));
    }
    return latin1ToUtf8(bytes);
}

bool isValidKey(std::string_view key) {
    return key.size() == 4 && std::all_of(key.begin(), key.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x80;
           });
}

std::string latin1ToUtf8(std::string_view bytes) {
    std::string text;
    for (char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (byte < 0x80) {
            text.push_back(c);
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

}  // namespace ampwarden
