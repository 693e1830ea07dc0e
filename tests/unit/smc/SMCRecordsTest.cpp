#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "smc/FanMode.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeyData_t.h"
#include "smc/SMCValueCodec.h"

namespace ampwarden {
namespace {

TEST(SMCKeyData, IsZeroEvenWhereNoFieldLies) {
    alignas(SMCKeyData_t) unsigned char memory[sizeof(SMCKeyData_t)];
    std::memset(memory, 0xAA, sizeof(memory));
    auto* record = new (memory) SMCKeyData_t();
    record->key = toUInt32("#KEY");
    record->data8 = 8;
    record->data32 = 0x01020304;

    unsigned char expected[80] = {0x59, 0x45, 0x4B, 0x23};  // host order: reversed
    expected[42] = 8;
    const unsigned char index[] = {4, 3, 2, 1};
    std::memcpy(expected + 44, index, sizeof(index));
    EXPECT_EQ(std::memcmp(memory, expected, sizeof(expected)), 0);
    EXPECT_EQ(toString(0x41E90042), std::string("A\xC3\xA9") + '\0' + "B");  // no trimming
}

TEST(FanMode, StoresAsItsBareIntegerAndRefusesAnyOtherAsCorrupt) {
    EXPECT_EQ(encodeFanMode(FanMode::forced), "1");
    EXPECT_EQ(decodeFanMode("0"), FanMode::automatic);
    for (const char* corrupt : {"2", "-1", "", "1.0", "forced"}) {
        std::string error;
        EXPECT_EQ(decodeFanMode(corrupt, &error), std::nullopt) << corrupt;
        EXPECT_NE(error.find("corrupt data"), std::string::npos) << corrupt;
    }
}

TEST(SMCValueCodec, DecodesNumbersByTypeFromTheStartOfTheBytesAndFanNamesTrimmed) {
    const struct {
        const char* type;
        SMCBytes bytes;
        std::optional<double> number;
    } cases[] = {
        {"ui8 ", {0xFE, 0x01}, 254},          {"ui8", {0xFE, 0x01}, std::nullopt},
        {"ui16", {0x01, 0x02}, 258},          {"ui32", {0xFF, 0xFF, 0xFF, 0xFE}, 4294967294.0},
        {"sp78", {0x1A, 0x80}, 26.5},         {"sp78", {0xFF, 0x00}, 255.0},  // unsigned, not -1
        {"sp5b", {0x08, 0x00}, 1.0},          {"sp4b", {0x08, 0x00}, std::nullopt},
        {"sp1e", {0x40, 0x00}, 1.0},          {"flt ", {0x00, 0x00, 0xFA, 0x44}, 2000.0},
        {"fpe2", {0x1F, 0x43}, 2000.0},  // fraction bits dropped
        {"fp2e", {0x1F, 0x40}, std::nullopt}, {"{fds", {0x1F, 0x40}, std::nullopt},
        {"sp69", {0x02, 0x00}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeSMCNumber(c.type, c.bytes), c.number) << c.type;

    // A fan's name is trimmed of blanks and tabs only.
    SMCBytes bytes{};
    std::memcpy(bytes.data() + 4, "\t Left side  ", 12);
    EXPECT_EQ(fanDescriptorName(bytes), "Left side");
    std::memcpy(bytes.data() + 4, "Fan\0        ", 12);
    EXPECT_EQ(fanDescriptorName(bytes), std::string("Fan\0", 4));
}

}  // namespace
}  // namespace ampwarden
