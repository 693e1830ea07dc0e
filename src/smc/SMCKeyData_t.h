#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ampwarden {

// The 80-byte record of the SMC user-client protocol: one goes in and one comes back with
// every struct call. It travels as raw memory, integers in host order, so its layout is
// fixed to the byte. Every constructed record is all zero bytes, padding included.
struct SMCKeyData_t {
    struct vers_t {
        std::uint8_t major;
        std::uint8_t minor;
        std::uint8_t build;
        std::uint8_t reserved;
        std::uint16_t release;
    };

    struct LimitData_t {
        std::uint16_t version;
        std::uint16_t length;
        std::uint32_t cpuPLimit;
        std::uint32_t gpuPLimit;
        std::uint32_t memPLimit;
    };

    // Nine bytes of content; the record places the next field straight after them rather
    // than after a rounded-up size, hence the packing here and the alignment at the member.
#pragma pack(push, 1)
    struct keyInfo_t {
        std::uint32_t dataSize;
        std::uint32_t dataType;
        std::uint8_t dataAttributes;
    };
#pragma pack(pop)

    SMCKeyData_t() { std::memset(static_cast<void*>(this), 0, sizeof(*this)); }

    std::uint32_t key;
    vers_t vers;
    LimitData_t pLimitData;
    alignas(4) keyInfo_t keyInfo;
    std::uint16_t padding;
    std::uint8_t result;
    std::uint8_t status;
    std::uint8_t data8;
    std::uint32_t data32;
    std::array<std::uint8_t, 32> bytes;
};

static_assert(sizeof(SMCKeyData_t::vers_t) == 6 && alignof(SMCKeyData_t::vers_t) == 2);
static_assert(offsetof(SMCKeyData_t::vers_t, release) == 4);
static_assert(sizeof(SMCKeyData_t::LimitData_t) == 16 && alignof(SMCKeyData_t::LimitData_t) == 4);
static_assert(offsetof(SMCKeyData_t::LimitData_t, length) == 2);
static_assert(offsetof(SMCKeyData_t::LimitData_t, cpuPLimit) == 4);
static_assert(offsetof(SMCKeyData_t::LimitData_t, gpuPLimit) == 8);
static_assert(offsetof(SMCKeyData_t::LimitData_t, memPLimit) == 12);
static_assert(sizeof(SMCKeyData_t::keyInfo_t) == 9);
static_assert(offsetof(SMCKeyData_t::keyInfo_t, dataType) == 4);
static_assert(offsetof(SMCKeyData_t::keyInfo_t, dataAttributes) == 8);

static_assert(sizeof(SMCKeyData_t) == 80 && alignof(SMCKeyData_t) == 4);
static_assert(offsetof(SMCKeyData_t, key) == 0);
static_assert(offsetof(SMCKeyData_t, vers) == 4);
static_assert(offsetof(SMCKeyData_t, pLimitData) == 12);
static_assert(offsetof(SMCKeyData_t, keyInfo) == 28);
static_assert(offsetof(SMCKeyData_t, padding) == 38);
static_assert(offsetof(SMCKeyData_t, result) == 40);
static_assert(offsetof(SMCKeyData_t, status) == 41);
static_assert(offsetof(SMCKeyData_t, data8) == 42);
static_assert(offsetof(SMCKeyData_t, data32) == 44);
static_assert(offsetof(SMCKeyData_t, bytes) == 48);

}  // namespace ampwarden
