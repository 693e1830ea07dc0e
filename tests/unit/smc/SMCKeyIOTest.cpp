#include <gtest/gtest.h>

#include "platform/MachError.h"
#include "unit/smc/SMCTestFixture.h"

namespace ampwarden::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

using SMCKeyIO = SMCTest;

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
    EXPECT_EQ(smc.writeFpe2("F0Tg", 2500), 0);
    EXPECT_EQ(laptop.value("F0Tg"), (Bytes{0x27, 0x10}));
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
        NONE ui8  0 -
    )");
    EXPECT_EQ(smc.getValue("BCLM"), std::nullopt);
    EXPECT_EQ(smc.getValue("F0Md"), 0.0);
    EXPECT_EQ(smc.getValue("F2Md"), std::nullopt);
    EXPECT_EQ(smc.getValue("FS! "), 0.0);
    EXPECT_EQ(smc.getValue("NONE"), std::nullopt);
    EXPECT_TRUE(lines().empty());

    EXPECT_EQ(smc.getValue("XXXX"), std::nullopt);
    EXPECT_EQ(lines(), Lines{"Error read(XXXX): (iokit/common) data was not found"});
    EXPECT_EQ(device.calls.size(), 2u * 6 - 1);  // two calls a read; one for the unknown key
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
