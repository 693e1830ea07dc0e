#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/SmcService.h"
#include "smc/SMCKeyData_t.h"

namespace ampwarden {

// The emulator socket's frames. A request is the selector (u32, little-endian) and the
// 80-byte record; a reply is the kernel return code (i32, little-endian) and the 80-byte
// record. The record travels as the raw memory the user client would get.
class EmulatorFrame {
  public:
    static constexpr std::size_t kSize = 4 + sizeof(SMCKeyData_t);
    using Bytes = std::array<std::uint8_t, kSize>;

    static Bytes request(std::uint32_t selector, const SMCKeyData_t& record);
    static Bytes reply(kern_return_t code, const SMCKeyData_t& record);

    // The leading 32-bit word: the selector of a request, the code of a reply.
    static std::uint32_t head(const Bytes& frame);
    static SMCKeyData_t record(const Bytes& frame);
};

}  // namespace ampwarden
