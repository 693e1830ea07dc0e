#include <gtest/gtest.h>

#include "platform/MachError.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCValueCodec.h"
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
    EXPECT_EQ(value.bytes[0], 0x1F);
    EXPECT_EQ(value.bytes[1], 0x40);

    ASSERT_EQ(laptop.calls.size(), 2u);
    const auto& info = laptop.calls[0].input;
    const auto& bytes = laptop.calls[1].input;
    EXPECT_EQ(laptop.calls[0].selector, 2u);
    EXPECT_EQ(info.data8, 9);
    EXPECT_EQ(info.key, 0x46305467u);
    EXPECT_EQ(info.keyInfo.dataSize, 0u);
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

TEST_F(SMCKeyIO, ReadCopiesAtMostThirtyTwoBytesWhateverTheSizeSays) {
    SMCBytes full;
    full.fill(0x5A);
    laptop.afterCall = [&](FakeSmcDevice::Call& call) {
        call.code = kKernSuccess;
        call.output.keyInfo.dataSize = 40;
        call.output.bytes = full;
    };
    SMCVal_t value("BCLM");
    EXPECT_EQ(smc.read(value), 0);
    EXPECT_EQ(value.dataSize, 40u);
    EXPECT_EQ(value.bytes, full);
}

TEST_F(SMCKeyIO, WriteIsOneCallWithTheRecordsSizeAndAllItsBytes) {
    SMCVal_t value("FS! ");
    value.dataSize = 2;
    value.bytes[1] = 3;
    value.bytes[31] = 0xEE;  // sent, though beyond the size
    EXPECT_EQ(smc.write(value), 0);
    ASSERT_EQ(laptop.calls.size(), 1u);
    const auto& sent = laptop.calls[0].input;
    EXPECT_EQ(sent.data8, 6);
    EXPECT_EQ(sent.keyInfo.dataSize, 2u);
    EXPECT_EQ(sent.bytes, value.bytes);
    EXPECT_EQ(laptop.value("FS! "), (Bytes{0, 3}));
}

TEST_F(SMCKeyIO, KeysThatAreNotFourCharactersNeverReachTheDevice) {
    for (const char* key : {"F10Md", "FS!", "", "F\xC3\xA9"}) {
        SMCVal_t value(key);
        value.dataSize = 1;
        EXPECT_EQ(smc.read(value), kIOReturnBadArgument) << key;
        EXPECT_EQ(smc.write(value), kIOReturnBadArgument) << key;
    }
    EXPECT_EQ(smc.getValue("F10Md"), std::nullopt);
    EXPECT_EQ(smc.getStringValue("F10ID"), std::nullopt);
    EXPECT_TRUE(laptop.calls.empty());
    EXPECT_EQ(lines(), (Lines{"Error read(F10Md): (iokit/common) invalid argument",
                              "Error read(): (iokit/common) invalid argument"}));
}

TEST_F(SMCKeyIO, GetValueDecodesByTypeAndTakesZeroAsNoneExceptForFanStateKeys) {
    auto& device = useKeys(R"(
        BCLM ui8  1 00
        F0Md ui8  1 00
        F2Md ui8  1 00
        FS!  ui16 2 0000
        TB0T sp78 2 ff00
        TA0P sp78 2 1a80
        F0ID fp2e 2 0100
        NONE ui8  0 -
        BIG  ui8  2 0100
    )");
    EXPECT_EQ(smc.getValue("BCLM"), std::nullopt);
    EXPECT_EQ(smc.getValue("F0Md"), 0.0);
    EXPECT_EQ(smc.getValue("F2Md"), std::nullopt);
    EXPECT_EQ(smc.getValue("FS! "), 0.0);
    EXPECT_EQ(smc.getValue("TB0T"), 255.0);
    EXPECT_EQ(smc.getValue("TA0P"), 26.5);
    EXPECT_EQ(smc.getValue("F0ID"), std::nullopt);
    EXPECT_EQ(smc.getValue("NONE"), std::nullopt);
    EXPECT_EQ(smc.getValue("BIG "), 1.0);  // "ui8 " reads byte 0 whatever the size
    EXPECT_TRUE(lines().empty());

    EXPECT_EQ(smc.getValue("XXXX"), std::nullopt);
    EXPECT_EQ(lines(), Lines{"Error read(XXXX): (iokit/common) data was not found"});
    EXPECT_EQ(device.calls.size(), 2u * 10 - 1);  // each read two calls; the unknown key one
}

TEST_F(SMCKeyIO, GetStringValueGivesTheFanNameOrSaysWhyNot) {
    EXPECT_EQ(smc.getStringValue("F0ID"), "Left side");
    EXPECT_EQ(smc.getStringValue("F1ID"), "Right side");
    EXPECT_EQ(smc.getStringValue("BCLM"), std::nullopt);
    EXPECT_EQ(smc.getStringValue("CH0B"), std::nullopt);  // all zero: no line
    EXPECT_EQ(smc.getStringValue("F9ID"), std::nullopt);
    EXPECT_EQ(lines(), (Lines{"unsupported data type ui8  for key: BCLM",
                              "Error read(): (iokit/common) data was not found"}));
}

TEST_F(SMCKeyIO, WriteFpe2SendsTwoBytesAndRefusesWhatFpe2CannotHold) {
    EXPECT_EQ(smc.writeFpe2("F0Tg", 2000), 0);
    const auto writes = laptop.writes();
    ASSERT_EQ(writes.size(), 1u);
    const auto& sent = writes[0].input;
    EXPECT_EQ(sent.keyInfo.dataSize, 2u);
    SMCBytes expected{};
    expected[0] = 0x1F;
    expected[1] = 0x40;
    EXPECT_EQ(sent.bytes, expected);
    EXPECT_TRUE(lines().empty());

    EXPECT_EQ(smc.writeFpe2("F0Tg", 16384), kIOReturnBadArgument);
    EXPECT_EQ(smc.writeFpe2("F0Tg", -1), kIOReturnBadArgument);
    EXPECT_EQ(laptop.calls.size(), 1u);
    EXPECT_EQ(lines(),
              (Lines{"Error writeFpe2(F0Tg): value 16384 is outside 0 to 16383: (iokit/common) "
                     "invalid argument",
                     "Error writeFpe2(F0Tg): value -1 is outside 0 to 16383: (iokit/common) "
                     "invalid argument"}));
}

TEST_F(SMCKeyIO, TheDeviceRefusesWrongSizesAndReadOnlyKeys) {
    SMCVal_t value("BCLM");
    value.dataSize = 2;
    EXPECT_EQ(smc.write(value), kIOReturnBadArgument);
    EXPECT_EQ(laptop.calls.back().output.result, SmcEmulator::kResultBadArgument);
    value = SMCVal_t("#KEY");
    value.dataSize = 4;
    EXPECT_EQ(smc.write(value), kIOReturnNotWritable);
    EXPECT_EQ(laptop.calls.back().output.result, SmcEmulator::kResultNotWritable);
    value = SMCVal_t("ZZZZ");
    EXPECT_EQ(smc.read(value), kIOReturnNotFound);
    EXPECT_EQ(laptop.calls.back().output.result, SmcEmulator::kResultKeyNotFound);
}

}  // namespace
}  // namespace ampwarden::test
