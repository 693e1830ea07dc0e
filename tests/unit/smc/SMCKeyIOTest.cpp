#include <gtest/gtest.h>

#include "platform/MachError.h"
#include "unit/smc/SMCTestFixture.h"

namespace ampwarden::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

using SMCKeyIO = SMCTest;

TEST_F(SMCKeyIO, ReadAsksForKeyInfoThenForThatManyBytes) {
    SMCVal_t value("F0Tg");
    EXPECT_EQ(smc.read(value), 0);
    EXPECT_EQ(value.dataSize, 2u);
    EXPECT_EQ(value.dataType, "fpe2");
    EXPECT_EQ(value.bytes[1], 0x40);

    ASSERT_EQ(laptop.calls.size(), 2u);
    const auto& info = laptop.calls[0].input;
    const auto& bytes = laptop.calls[1].input;
    EXPECT_EQ(laptop.calls[0].selector, 2u);
    EXPECT_EQ(info.data8, 9);
    EXPECT_EQ(info.key, 0x46305467u);
    EXPECT_EQ(bytes.data8, 5);
    EXPECT_EQ(bytes.key, info.key);
    EXPECT_EQ(bytes.keyInfo.dataSize, 2u);
    EXPECT_EQ(bytes.keyInfo.dataType, 0u);  // the type is never sent back
}

TEST_F(SMCKeyIO, AFailedFirstCallLeavesTheRecordAFailedSecondKeepsItsBytes) {
    laptop.failCall(0, kIOReturnTimeout);
    SMCVal_t fresh("BCLM");
    EXPECT_EQ(smc.read(fresh), kIOReturnTimeout);
    EXPECT_EQ(fresh.dataSize, 0u);
    EXPECT_EQ(fresh.dataType, "");

    laptop.failCall(1, kIOReturnNotResponding);
    SMCVal_t old("BCLM");
    old.bytes.fill(0x77);
    EXPECT_EQ(smc.read(old), kIOReturnNotResponding);
    EXPECT_EQ(old.dataSize, 1u);
    EXPECT_EQ(old.dataType, "ui8 ");
    EXPECT_EQ(old.bytes[0], 0x77);
    EXPECT_TRUE(lines().empty());
}

TEST_F(SMCKeyIO, WriteIsOneCallWithTheRecordsSizeAndAllItsBytes) {
    SMCVal_t value("FS! ");
    value.dataSize = 2;
    value.bytes[1] = 3;
    value.bytes[31] = 0xEE;  // sent, though beyond the size
    EXPECT_EQ(smc.write(value), 0);
    ASSERT_EQ(laptop.calls.size(), 1u);
    EXPECT_EQ(laptop.calls[0].input.data8, 6);
    EXPECT_EQ(laptop.calls[0].input.keyInfo.dataSize, 2u);
    EXPECT_EQ(laptop.calls[0].input.bytes, value.bytes);
    EXPECT_EQ(laptop.value("FS! "), (Bytes{0, 3}));

    EXPECT_EQ(smc.writeFpe2("F0Tg", 2000), 0);
    EXPECT_EQ(laptop.calls[1].sent(), (Bytes{0x1F, 0x40}));
    EXPECT_EQ(laptop.calls[1].input.bytes[2], 0);
    EXPECT_TRUE(lines().empty());
}

TEST_F(SMCKeyIO, KeysNotOfFourAsciiCharactersAndValuesFpe2CannotHoldNeverReachTheDevice) {
    for (const char* key : {"F10Md", "FS!", "", "\xC3\xA9\xC3\xA9"}) {
        SMCVal_t value(key);
        EXPECT_EQ(smc.read(value), kIOReturnBadArgument) << key;
        EXPECT_EQ(smc.write(value), kIOReturnBadArgument) << key;
    }
    EXPECT_EQ(smc.getValue("F10Md"), std::nullopt);
    EXPECT_EQ(smc.getStringValue("F10ID"), std::nullopt);
    EXPECT_EQ(smc.writeFpe2("F0Tg", 16384), kIOReturnBadArgument);
    EXPECT_EQ(smc.writeFpe2("F0Tg", -1), kIOReturnBadArgument);
    EXPECT_TRUE(laptop.calls.empty());
    const std::string bad = ": (iokit/common) invalid argument";
    EXPECT_EQ(lines(), (Lines{"Error read(F10Md)" + bad, "Error read()" + bad,
                              "Error writeFpe2(F0Tg): value 16384 is outside 0 to 16383" + bad,
                              "Error writeFpe2(F0Tg): value -1 is outside 0 to 16383" + bad}));
}

TEST_F(SMCKeyIO, GetValueDecodesByTypeAndTakesZeroAsNoneExceptForFanStateKeys) {
    auto& device = useKeys(R"(
        BCLM ui8  1 00
        F0Md ui8  1 00
        F2Md ui8  1 00
        FS!  ui16 2 0000
        TB0T sp78 2 ff00
        F0ID fp2e 2 0100
        NONE ui8  0 -
    )");
    EXPECT_EQ(smc.getValue("BCLM"), std::nullopt);
    EXPECT_EQ(smc.getValue("F0Md"), 0.0);
    EXPECT_EQ(smc.getValue("F2Md"), std::nullopt);
    EXPECT_EQ(smc.getValue("FS! "), 0.0);
    EXPECT_EQ(smc.getValue("TB0T"), 255.0);
    EXPECT_EQ(smc.getValue("F0ID"), std::nullopt);
    EXPECT_EQ(smc.getValue("NONE"), std::nullopt);
    EXPECT_TRUE(lines().empty());

    EXPECT_EQ(smc.getValue("XXXX"), std::nullopt);
    EXPECT_EQ(lines(), Lines{"Error read(XXXX): (iokit/common) data was not found"});
    EXPECT_EQ(device.calls.size(), 2u * 8 - 1);  // two calls a read; one for the unknown key
}

TEST_F(SMCKeyIO, GetStringValueGivesTheFanNameOrSaysWhyNot) {
    EXPECT_EQ(smc.getStringValue("F1ID"), "Right side");
    EXPECT_EQ(smc.getStringValue("BCLM"), std::nullopt);
    EXPECT_EQ(smc.getStringValue("CH0B"), std::nullopt);  // all zero: no line
    EXPECT_EQ(smc.getStringValue("F9ID"), std::nullopt);
    EXPECT_EQ(lines(), (Lines{"unsupported data type ui8  for key: BCLM",
                              "Error read(): (iokit/common) data was not found"}));
}

}  // namespace
}  // namespace ampwarden::test
