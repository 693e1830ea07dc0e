#include <gtest/gtest.h>

#include "platform/MachError.h"
#include "unit/smc/SMCTestFixture.h"

namespace ampwarden::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

class SMCByteValue : public SMCTest {
  protected:
    SMCByteValue()
        : device(useKeys(R"(
              BCLM ui8  1 2a
              CH0B flag 1 01
              CH0C hex_ 2 1234
              CH0I hex_ 1 ff
              F0Ac ui16 2 0102
              CHBI ui8  1 00
          )")) {}

    FakeSmcDevice& device;
};

// Either of a read's two calls failing makes CHBI unreadable for that probe only.
TEST_F(SMCByteValue, ReadGivesByteZeroOfOneByteTypesOnlyAndCHBIIsReadableWhenItsReadSucceeds) {
    EXPECT_EQ(smc.readByteValue("BCLM"), 42);
    EXPECT_EQ(smc.readByteValue("CH0B"), 1);
    EXPECT_EQ(smc.readByteValue("CH0I"), 255);
    EXPECT_EQ(smc.readByteValue("F0Ac"), std::nullopt);
    EXPECT_EQ(smc.readByteValue("XXXX"), std::nullopt);
    EXPECT_TRUE(smc.isCHBIReadable());
    device.failCall(0, kIOReturnNotResponding);  // the key's info
    EXPECT_FALSE(smc.isCHBIReadable());
    device.failCall(1, kIOReturnTimeout);  // its value
    EXPECT_FALSE(smc.isCHBIReadable());
    EXPECT_TRUE(smc.isCHBIReadable());
    EXPECT_EQ(lines(), (Lines{"intValue 42", "intValue 1", "intValue 255",
                              "Error read fan value: (iokit/common) data was not found",
                              "Error read SMC value: (iokit/common) device not responding",
                              "Error read SMC value: (iokit/common) I/O Timeout"}));
}

// Only the one-byte types (ui8, flag, hex_) take the value; others are sent back unchanged.
TEST_F(SMCByteValue, WriteReplacesByteZeroAndKeepsTheRest) {
    smc.writeByteValue("BCLM", 100);
    smc.writeByteValue("CH0C", 0);
    smc.writeByteValue("F0Ac", 5);
    EXPECT_EQ(device.value("BCLM"), Bytes{100});  // taken, so sent with the key's own size
    EXPECT_EQ(device.value("CH0C"), (Bytes{0x00, 0x34}));
    const auto writes = device.writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[2].sent(), (Bytes{0x01, 0x02}));
    EXPECT_EQ(device.calls.size(), 9u);  // read (two calls) and write (one), each time
    EXPECT_EQ(lines(), (Lines{"设置电池状态数值 100", "bytes 100", "设置电池状态数值 0", "bytes 0",
                              "设置电池状态数值 5"}));
}

TEST_F(SMCByteValue, WriteRefusesNonBytesStopsAtAFailedReadAndLogsAFailedWrite) {
    smc.writeByteValue("BCLM", 256);
    smc.writeByteValue("BCLM", -1);
    smc.writeByteValue("XXXX", 1);
    EXPECT_EQ(device.calls.size(), 1u);  // the unknown key's info
    device.failCall(2, kIOReturnNotResponding);
    smc.writeByteValue("BCLM", 80);
    const std::string outside = " is outside 0 to 255: (iokit/common) invalid argument";
    EXPECT_EQ(lines(), (Lines{"Error writeByteValue(BCLM): value 256" + outside,
                              "Error writeByteValue(BCLM): value -1" + outside,
                              "Error read fan value: (iokit/common) data was not found",
                              "设置电池状态数值 80", "bytes 80",
                              "Error write: (iokit/common) device not responding"}));
}

}  // namespace
}  // namespace ampwarden::test
