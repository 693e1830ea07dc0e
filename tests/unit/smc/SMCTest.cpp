#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "platform/MachError.h"
#include "smc/FanMode.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeyData_t.h"
#include "smc/SMCValueCodec.h"
#include "unit/smc/SMCTestFixture.h"

namespace ampwarden::test {
namespace {

using Keys = std::vector<std::string>;
using Lines = std::vector<std::string>;

const std::string kBad = ": (iokit/common) invalid argument";
const std::string kNotFound = ": (iokit/common) data was not found";

TEST_F(SMCTest, OpenTakesANewConnectionEachTimeAndCloseKeepsTheHandle) {
    EXPECT_EQ(smc.conn, FakeSmcDevice::kFirstConnection);
    EXPECT_EQ(laptop.released, std::vector<io_object_t>{FakeSmcDevice::kService});
    EXPECT_EQ(smc.open(), 0);  // the first connection stays open
    EXPECT_EQ(laptop.connected.size(), 2u);
    EXPECT_EQ(smc.close(), 0);
    SMCVal_t value("BCLM");
    EXPECT_EQ(smc.read(value), kMachSendInvalidDest);  // still on the closed handle
    EXPECT_EQ(laptop.lastConnection, FakeSmcDevice::kFirstConnection + 1);
    EXPECT_EQ(SMC(platform.smc(), platform.log).open(), 0);
    EXPECT_EQ(laptop.connected.size(), 1u) << "destruction closes";
    EXPECT_TRUE(platform.log.empty());

    {
        SMC failed{
            platform.smc(),
            platform.log};  // each failing step of opening is one line, as is closing no connection
        laptop.openResult = static_cast<kern_return_t>(0xe00002c1);  // not privileged
        EXPECT_EQ(failed.open(), 1);
        laptop.matchingResult = kIOReturnNoResources;
        EXPECT_EQ(failed.open(), 1);
        laptop.matchingResult = kKernSuccess;
        laptop.present = false;
        EXPECT_EQ(failed.open(), 1);
    }
    EXPECT_EQ(lines(), (Lines{"Error IOServiceOpen(): (iokit/common) privilege violation",
                              "Error IOServiceGetMatchingServices(): (iokit/common) resource "
                              "shortage",
                              "Error IOIteratorNext(): (os/kern) successful",
                              "error close smc connection: (ipc/send) invalid destination port"}));
}

TEST_F(SMCTest, KeyIoRefusesBadKeysKeepsWhatAFailedReadHeldAndDecodesOrSaysWhyNot) {
    for (const char* key : {"F10Md", "FS!", "", "\xC3\xA9\xC3\xA9"}) {
        SMCVal_t value(key);
        EXPECT_EQ(smc.read(value), kIOReturnBadArgument) << key;
        EXPECT_EQ(smc.write(value), kIOReturnBadArgument) << key;
    }
    EXPECT_TRUE(laptop.calls.empty());
    SMCVal_t value("BCLM");
    value.bytes.fill(0x77);
    laptop.failCall(0, kIOReturnTimeout);  // the key's info: nothing learnt
    EXPECT_EQ(smc.read(value), kIOReturnTimeout);
    EXPECT_EQ(value.dataSize, 0u);
    EXPECT_EQ(value.dataType, "");
    laptop.failCall(1, kIOReturnNotResponding);  // its bytes: the old ones stay
    EXPECT_EQ(smc.read(value), kIOReturnNotResponding);
    EXPECT_EQ(value.dataSize, 1u);
    EXPECT_EQ(value.dataType, "ui8 ");
    EXPECT_EQ(value.bytes[0], 0x77);

    // Typed access decodes or says why not, and zero is none except for the fans' state.
    EXPECT_EQ(smc.writeFpe2("F0Tg", 16384), kIOReturnBadArgument);
    EXPECT_EQ(smc.writeFpe2("F0Tg", -1), kIOReturnBadArgument);
    EXPECT_EQ(smc.writeFpe2("F0Tg", 2500), 0);
    EXPECT_EQ(laptop.written(), "F0Tg=2710 ");  // the refused values never sent
    EXPECT_EQ(smc.getStringValue("F1ID"), "Right side");
    EXPECT_EQ(smc.getStringValue("BCLM"), std::nullopt);
    EXPECT_EQ(smc.getStringValue("CH0B"), std::nullopt);  // all zero: no line
    EXPECT_EQ(smc.getStringValue("F9ID"), std::nullopt);
    EXPECT_EQ(lines(),
              (Lines{"Error writeFpe2(F0Tg): value 16384 is outside 0 to 16383" + kBad,
                     "Error writeFpe2(F0Tg): value -1 is outside 0 to 16383" + kBad,
                     "unsupported data type ui8  for key: BCLM", "Error read()" + kNotFound}));

    auto& device =
        useKeys("BCLM ui8 1 00\nF0Md ui8 1 00\nF1Md ui8 0 -\nF2Md ui8 1 00\nFS! ui16 2 0000\n");
    EXPECT_EQ(smc.getValue("BCLM"), std::nullopt);
    EXPECT_EQ(smc.getValue("F0Md"), 0.0);
    EXPECT_EQ(smc.getValue("F2Md"), std::nullopt);
    EXPECT_EQ(smc.getValue("FS! "), 0.0);
    EXPECT_EQ(smc.getValue("F1Md"), std::nullopt);  // no bytes at all
    EXPECT_EQ(smc.getValue("XXXX"), std::nullopt);
    EXPECT_EQ(lines(), Lines{"Error read(XXXX)" + kNotFound});
    EXPECT_EQ(device.calls.size(), 2u * 6 - 1);  // two calls a read; one for the unknown key
}

// A count smaller than the table is obeyed; a failed index is skipped; the first index past the
// table ends the list, whatever the count.
TEST_F(SMCTest, KeysAreListedByIndexUpToTheCountOrTheTablesEndAndABadCountListsNone) {
    const std::string keys = "AAAA ui8 1 01\nBBBB ui8 1 02\n";
    useKeys("#KEY ui32 4 00000002\n" + keys);
    EXPECT_EQ(smc.getAllKeys(), (Keys{"#KEY", "AAAA"}));

    auto& device = useKeys("#KEY ui32 4 ffffffff\n" + keys);
    device.failCall(2 + 1, kIOReturnTimeout);  // after the two calls of reading "#KEY"
    EXPECT_EQ(smc.getAllKeys(), (Keys{"#KEY", "BBBB"}));
    ASSERT_EQ(device.calls.size(), 2u + 4);
    for (std::uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(device.calls[2 + i].data32, i);
        EXPECT_EQ(device.calls[2 + i].key, 0u);
    }
    EXPECT_TRUE(lines().empty());

    // No count, or one that cannot index the table: one line and no keys.
    useKeys("#KEY ui32 4 00000000\n");
    EXPECT_EQ(smc.getAllKeys(), Keys{});
    EXPECT_EQ(lines(), Lines{"ERROR no keys count found"});

    useKeys("AAAA ui8 1 01\n").failCall(0, kIOReturnNotResponding);
    EXPECT_EQ(smc.getAllKeys(), Keys{});
    EXPECT_EQ(lines(), (Lines{"Error read(#KEY): (iokit/common) device not responding",
                              "ERROR no keys count found"}));

    // "flt " counts: -5, NaN, +infinity, 2^33.
    const std::pair<const char*, const char*> counts[] = {
        {"0000a0c0", "-5"}, {"0000c07f", "nan"}, {"0000807f", "inf"}, {"00000050", "8589934592"}};
    for (const auto& [bytes, shown] : counts) {
        useKeys(std::string("#KEY \"flt \" 4 ") + bytes + "\nAAAA ui8 1 01\n");
        EXPECT_EQ(smc.getAllKeys(), Keys{}) << bytes;
        EXPECT_EQ(lines(), Lines{std::string("Error getAllKeys(): key count ") + shown +
                                 " is outside 0 to 4294967296" + kBad});
    }
}

// Fans 8 and 9 have mode keys but no bit: the mask is one byte.
TEST_F(SMCTest, FanModeSetsTheModeKeyAndTheFansBitInByteOneOfTheMask) {
    const struct {
        const char* mask;
        int fan;
        FanMode mode;
        const char* written;
    } cases[] = {{"0000", 0, FanMode::forced, "F0Md=01 FS! =0001 "},
                 {"0001", 1, FanMode::forced, "F1Md=01 FS! =0003 "},
                 {"0003", 0, FanMode::automatic, "F0Md=00 FS! =0002 "},
                 {"0002", 1, FanMode::automatic, "F1Md=00 FS! =0000 "},
                 {"0001", 0, FanMode::forced, "F0Md=01 "},
                 {"0000", 1, FanMode::automatic, "F1Md=00 "},
                 {"0100", 0, FanMode::forced, "F0Md=01 FS! =0001 "},  // byte 0 dropped
                 {"0000", 8, FanMode::automatic, "F8Md=00 "},
                 {"0000", 2, FanMode::forced, "FS! =0004 "}};  // no mode key: still its bit
    for (const auto& c : cases) {
        auto& device = useKeys(std::string("F0Md ui8 1 00\nF1Md ui8 1 00\nF8Md ui8 1 01\n") +
                               "FS! ui16 2 " + c.mask);
        smc.setFanMode(c.fan, c.mode);
        EXPECT_EQ(device.written(), c.written) << c.mask << " fan " << c.fan;
    }
    EXPECT_EQ(lines(), Lines{"Error read(F2Md)" + kNotFound});
}

// Bad fans are refused before any call, and each failed call is one line that ends the
// operation. The maximum's fraction is dropped, 4000 without one; only an "fpe2" target limits a
// speed (to 16383), after the maximum; other types are sent back as they were.
TEST_F(SMCTest, FanCallsRefuseBadFansAndStopAtAFailedCallAndSpeedIsCheckedThenEncoded) {
    smc.setFanMode(10, FanMode::forced);
    smc.setFanMode(-1, FanMode::automatic);
    smc.setFanSpeed(10, 1000);
    EXPECT_TRUE(laptop.calls.empty());
    laptop.failCall(2 + 1, kIOReturnTimeout);  // "F0Md" read after getValue's two calls
    smc.setFanMode(0, FanMode::forced);
    laptop.failCall(2 + 0, kIOReturnNotResponding);  // "F0Tg" read after reading "F0Mx"
    smc.setFanSpeed(0, 3000);
    laptop.failCall(0, kIOReturnNotWritable);
    smc.resetFanModes();
    EXPECT_EQ(laptop.written(), "FS! =0000 ");  // the failing reset only
    EXPECT_EQ(lines(), (Lines{"Error setFanMode(): fan 10 is outside 0 to 9" + kBad,
                              "Error setFanMode(): fan -1 is outside 0 to 9" + kBad,
                              "Error setFanSpeed(): fan 10 is outside 0 to 9" + kBad,
                              "Error read fan mode: (iokit/common) I/O Timeout",
                              "Error read fan value: (iokit/common) device not responding",
                              "Error write: (iokit/common) write not supported"}));

    auto& device = useKeys(R"(
        F0Mx "flt " 4 0084bb45
        F0Tg fpe2 4 ffffffff
        F1Tg fpe2 2 0000
        F2Mx "flt " 4 00409c46
        F2Tg fpe2 2 0000
        F3Mx "flt " 4 00409c46
        F3Tg "flt " 4 00000000
        F4Tg ui16 2 1234
    )");  // F0: 6000.5, F2 and F3: 20000
    const std::pair<int, int> speeds[] = {{0, 6001},  {0, 6000},  {1, 20000},
                                          {2, 17000}, {3, 17000}, {4, 2500}};
    for (const auto& [fan, speed] : speeds) smc.setFanSpeed(fan, speed);
    EXPECT_EQ(device.written(), "F0Tg=5dc00000 F3Tg=00d08446 F4Tg=1234 ");
    EXPECT_EQ(lines(), (Lines{"new fan speed (6001) is more than maximum speed (6000)",
                              "Error read(F1Mx)" + kNotFound,
                              "new fan speed (20000) is more than maximum speed (4000)",
                              "Error setFanSpeed(): speed 17000 is outside 0 to 16383" + kBad,
                              "Error read(F4Mx)" + kNotFound}));
}

// Only the one-byte types (ui8, flag, hex_) hold a byte value; others are sent back unchanged.
TEST_F(SMCTest, ByteValuesAreByteZeroOfOneByteTypes) {
    auto& device = useKeys(R"(
        BCLM ui8  1 2a
        CH0B flag 1 01
        CH0C hex_ 2 1234
        CH0I hex_ 1 ff
        F0Ac ui16 2 0102
        CHBI ui8  1 00
    )");
    std::string read;
    for (const char* key : {"BCLM", "CH0B", "CH0I", "F0Ac", "XXXX"}) {
        read += std::to_string(smc.readByteValue(key).value_or(-1)) + " ";
    }
    EXPECT_EQ(read, "42 1 255 -1 -1 ");  // none for a two-byte type or an unknown key
    smc.writeByteValue("BCLM", 100);
    smc.writeByteValue("CH0C", 0);
    smc.writeByteValue("F0Ac", 5);
    platform.log.clear();  // what it read and wrote, as it went

    device.failCall(0, kIOReturnNotResponding);  // the key's info
    EXPECT_FALSE(smc.isCHBIReadable());
    device.failCall(1, kIOReturnTimeout);  // its value
    EXPECT_FALSE(smc.isCHBIReadable());
    EXPECT_TRUE(smc.isCHBIReadable());
    smc.writeByteValue("BCLM", 256);
    smc.writeByteValue("BCLM", -1);
    smc.writeByteValue("XXXX", 1);
    device.failCall(2, kIOReturnNotResponding);
    smc.writeByteValue("BCLM", 80);
    device.failCall(2, kIOReturnNotResponding);
    smc.writeByteValueQuietly("BCLM", 81);
    smc.writeByteValueQuietly("BCLM", 256);
    EXPECT_EQ(device.written(), "BCLM=64 CH0C=0034 F0Ac=0102 BCLM=50 BCLM=51 ");
    const std::string outside = " is outside 0 to 255" + kBad;
    EXPECT_EQ(lines(), (Lines{"Error read SMC value: (iokit/common) device not responding",
                              "Error read SMC value: (iokit/common) I/O Timeout",
                              "Error writeByteValue(BCLM): value 256" + outside,
                              "Error writeByteValue(BCLM): value -1" + outside,
                              "Error read fan value" + kNotFound, "设置电池状态数值 80", "bytes 80",
                              "Error write: (iokit/common) device not responding"}));
}

TEST(SMCKeyData, IsZeroEvenWhereNoFieldLies) {
    alignas(SMCKeyData_t) unsigned char memory[sizeof(SMCKeyData_t)];
    std::memset(memory, 0xAA, sizeof(memory));
    auto* record = new (memory) SMCKeyData_t();
    record->key = toUInt32("#KEY");
    record->data8 = 8;
    record->data32 = 0x01020304;

    unsigned char expected[80] = {0x59, 0x45, 0x4B, 0x23};    // host order: reversed
    std::memcpy(expected + 42, "\x08\0\x04\x03\x02\x01", 6);  // data8, a gap, data32
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
}  // namespace ampwarden::test
