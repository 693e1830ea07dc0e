#include <gtest/gtest.h>

#include <cstring>

#include "platform/MachError.h"
#include "smc/FanMode.h"
#include "smc/SMCValueCodec.h"
#include "unit/smc/SMCTestFixture.h"

namespace ampwarden::test {
namespace {

using Keys = std::vector<std::string>;
using Lines = std::vector<std::string>;

const std::string kBad = ": (iokit/common) invalid argument";

TEST_F(SMCTest, OpenTakesANewConnectionEachTimeAndDestructionClosesIt) {
    EXPECT_EQ(laptop.released, std::vector<io_object_t>{FakeSmcDevice::kService});
    EXPECT_EQ(smc.open(), 0);  // the first connection stays open
    EXPECT_EQ(laptop.connected.size(), 2u);
    EXPECT_EQ(smc.close(), 0);
    EXPECT_EQ(SMC(platform.smc(), platform.log).open(), 0);
    EXPECT_EQ(laptop.connected.size(), 1u) << "destruction closes";

    SMC failed{platform.smc(), platform.log};
    laptop.openResult = static_cast<kern_return_t>(0xe00002c1);  // not privileged
    EXPECT_EQ(failed.open(), laptop.openResult);                 // each failure with its own code
    EXPECT_EQ(lines(), Lines{"Error IOServiceOpen(): (iokit/common) privilege violation"});
    laptop.matchingResult = kIOReturnNoResources;
    EXPECT_EQ(failed.open(), kIOReturnNoResources);
    laptop.matchingResult = kKernSuccess;
    laptop.present = false;
    EXPECT_EQ(failed.open(), kIOReturnNotFound);
}

TEST_F(SMCTest, KeyIoRefusesBadKeysAndAFailedReadLearnsNothingNorClobbersTheBytes) {
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
    laptop.failCall(1, kIOReturnNotResponding);  // its bytes: the old ones stay
    EXPECT_EQ(smc.read(value), kIOReturnNotResponding);
    EXPECT_EQ(value.bytes[0], 0x77);
}

// A count smaller than the table is obeyed; a failed index is skipped; the first index past the
// table ends the list, whatever the count.
TEST_F(SMCTest, KeysAreListedByIndexUpToTheCountOrTheTablesEndAndABadCountListsNone) {
    const std::string keys = "AAAA ui8 1 01\nBBBB ui8 1 02\n";
    useKeys("#KEY ui32 4 00000002\n" + keys);
    EXPECT_EQ(smc.getAllKeys(), (Keys{"#KEY", "AAAA"}));

    useKeys("#KEY ui32 4 ffffffff\n" + keys).failCall(2 + 1, kIOReturnTimeout);  // AAAA's
    EXPECT_EQ(smc.getAllKeys(), (Keys{"#KEY", "BBBB"}));

    // No count, an unreadable one, or one that cannot index the table: no keys. "flt " counts
    // -5, NaN, +infinity and 2^33 cannot.
    useKeys("AAAA ui8 1 01\n").failCall(0, kIOReturnNotResponding);
    EXPECT_EQ(smc.getAllKeys(), Keys{});
    for (const char* count : {"ui32 4 00000000", "\"flt \" 4 0000a0c0", "\"flt \" 4 0000c07f",
                              "\"flt \" 4 0000807f", "\"flt \" 4 00000050"}) {
        useKeys(std::string("#KEY ") + count + "\nAAAA ui8 1 01\n");
        EXPECT_EQ(smc.getAllKeys(), Keys{}) << count;
    }
}

// Fans 8 and 9 have mode keys but no bit: the mask is one byte. A mode key reading 0 is a fan
// in automatic mode, which can be forced like any other.
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
                 {"0100", 0, FanMode::forced, "F0Md=01 FS! =0001 "},  // byte 0 dropped
                 {"0000", 8, FanMode::automatic, "F8Md=00 "},
                 {"0000", 9, FanMode::forced, "F9Md=01 "},
                 {"0000", 2, FanMode::forced, "F2Md=01 FS! =0004 "},
                 {"0000", 3, FanMode::forced, "FS! =0008 "}};  // no mode key: still its bit
    for (const auto& c : cases) {
        auto& device = useKeys(std::string("F0Md ui8 1 00\nF1Md ui8 1 00\nF2Md ui8 1 00\n") +
                               "F8Md ui8 1 01\nF9Md ui8 1 00\nFS! ui16 2 " + c.mask);
        smc.setFanMode(c.fan, c.mode);
        EXPECT_EQ(device.written(), c.written) << c.mask << " fan " << c.fan;
    }
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
    EXPECT_EQ(lines().front(), "Error setFanMode(): fan 10 is outside 0 to 9" + kBad);
    platform.log.clear();

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
    EXPECT_EQ(lines().front(), "new fan speed (6001) is more than maximum speed (6000)");
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
    for (const auto& [key, value] : std::initializer_list<std::pair<const char*, int>>{
             {"BCLM", 100}, {"CH0C", 0}, {"F0Ac", 5}, {"BCLM", 256}, {"BCLM", -1}, {"XXXX", 1}}) {
        smc.writeByteValue(key, value);
    }
    // A failed probe of "CHBI" (its info, then its value) says so for that probe only.
    device.failCall(0, kIOReturnNotResponding);
    EXPECT_FALSE(smc.isCHBIReadable());
    device.failCall(1, kIOReturnTimeout);
    EXPECT_FALSE(smc.isCHBIReadable());
    EXPECT_TRUE(smc.isCHBIReadable());
    device.failCall(2, kIOReturnNotResponding);
    EXPECT_EQ(smc.writeByteValue("BCLM", 80), kIOReturnNotResponding);
    EXPECT_EQ(lines().back(), "Error write: (iokit/common) device not responding");
    platform.log.clear();
    device.failCall(2, kIOReturnNotResponding);  // the charge control's writes log nothing
    EXPECT_EQ(smc.writeByteValueQuietly("BCLM", 81), kIOReturnNotResponding);
    EXPECT_EQ(smc.writeByteValueQuietly("BCLM", 256), kIOReturnBadArgument);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(device.written(), "BCLM=64 CH0C=0034 F0Ac=0102 BCLM=50 BCLM=51 ");
}

TEST(FanMode, IsItsBareIntegerAndAnyOtherTextIsRefused) {
    EXPECT_EQ(decodeFanMode("0"), FanMode::automatic);
    for (const char* bad : {"2", "-1", "", "1.0", "forced"}) {
        EXPECT_EQ(decodeFanMode(bad), std::nullopt) << bad;
    }
}

// The types the fan and key-count reads meet are decoded by those tests.
TEST(SMCValueCodec, DecodesOnlyWholeTypeNamesAndTrimsFanNamesOfBlanksAndTabsOnly) {
    EXPECT_EQ(decodeSMCNumber("fpe2", {0x1F, 0x43}), 2000.0);  // fraction bits dropped
    EXPECT_EQ(decodeSMCNumber("ui8", {0xFE}), std::nullopt);
    EXPECT_EQ(decodeSMCNumber("{fds", {0x1F, 0x40}), std::nullopt);
    SMCBytes bytes{};
    std::memcpy(bytes.data() + 4, "\t Left side  ", 12);
    EXPECT_EQ(fanDescriptorName(bytes), "Left side");
    std::memcpy(bytes.data() + 4, "Fan\0        ", 12);
    EXPECT_EQ(fanDescriptorName(bytes), std::string("Fan\0", 4));
}

// A decimal number is encoded with the key's own type; what the type cannot hold exactly, and
// a type without a number encoding, are refused with the reason.
TEST(SMCValueCodec, EncodesNumbersWithTheKeysTypeAndRefusesWhatItCannotHold) {
    using Bytes = std::vector<std::uint8_t>;
    std::string why;
    const std::pair<const char*, double> fits[] = {{"ui8 ", 80},           {"ui16", 2000},
                                                   {"ui32", 4294967295.0}, {"flag", 1},
                                                   {"fpe2", 2000.25},      {"sp78", -1.5}};
    const Bytes expected[] = {{0x50}, {0x07, 0xD0}, {0xFF, 0xFF, 0xFF, 0xFF},
                              {0x01}, {0x1F, 0x41}, {0xFE, 0x80}};
    for (std::size_t i = 0; i < std::size(fits); ++i) {
        EXPECT_EQ(encodeSMCNumber(fits[i].first, fits[i].second, why), expected[i]) << why;
    }
    const std::tuple<const char*, double, const char*> refused[] = {
        {"ui8 ", 256, "ui8 holds 0 to 255, not 256"},
        {"ui8 ", -1, "ui8 holds 0 to 255, not -1"},
        {"ui16", 1.5, "ui16 holds steps of 1, not 1.5"},
        {"flag", 2, "flag holds 0 to 1, not 2"},
        {"fpe2", 0.1, "fpe2 holds steps of 0.25, not 0.1"},
        {"sp78", 128, "sp78 holds -128 to 127.9960938, not 128"},
        {"hex_", 2, "type \"hex_\" is not one of"}};
    for (const auto& [type, value, said] : refused) {
        EXPECT_EQ(encodeSMCNumber(type, value, why), std::nullopt) << type << value;
        EXPECT_EQ(why.rfind(said, 0), 0u) << why;
    }
}

}  // namespace
}  // namespace ampwarden::test
