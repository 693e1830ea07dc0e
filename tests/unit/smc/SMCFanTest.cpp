#include <gtest/gtest.h>

#include "platform/MachError.h"
#include "unit/smc/SMCTestFixture.h"

namespace ampwarden::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using Keys = std::vector<std::string>;
using SMCFan = SMCTest;

Keys writtenKeys(const FakeSmcDevice& device) {
    Keys keys;
    for (const auto& call : device.writes()) keys.push_back(call.key());
    return keys;
}

std::string twoFans(const char* mask) {
    return std::string("F0Md ui8 1 00\nF1Md ui8 1 00\nFS! ui16 2 ") + mask + "\n";
}

struct MaskCase {
    const char* before;
    int fan;
    FanMode mode;
    Bytes after;  // empty: "FS! " is neither read nor written
};

class SMCFanMask : public SMCTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(SMCFanMask, SetsOrClearsTheFansBitInByteOne) {
    const MaskCase& c = GetParam();
    auto& device = useKeys(twoFans(c.before));
    smc.setFanMode(c.fan, c.mode);

    const std::string modeKey = "F" + std::to_string(c.fan) + "Md";
    EXPECT_EQ(device.value(modeKey), Bytes{static_cast<std::uint8_t>(rawValue(c.mode))});
    Keys expected = {modeKey};
    if (!c.after.empty()) expected.push_back("FS! ");
    EXPECT_EQ(writtenKeys(device), expected);
    if (!c.after.empty()) {
        EXPECT_EQ(device.value("FS! "), c.after);
    }
    EXPECT_TRUE(lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Masks, SMCFanMask,
    ::testing::Values(MaskCase{"0000", 0, FanMode::forced, {0x00, 0x01}},
                      MaskCase{"0001", 1, FanMode::forced, {0x00, 0x03}},
                      MaskCase{"0003", 0, FanMode::automatic, {0x00, 0x02}},
                      MaskCase{"0002", 1, FanMode::automatic, {0x00, 0x00}},
                      MaskCase{"0001", 0, FanMode::forced, {}},
                      MaskCase{"0000", 1, FanMode::automatic, {}},
                      MaskCase{"0100", 0, FanMode::forced, {0x00, 0x01}}));  // byte 0 dropped

TEST_F(SMCFan, FanModeWithoutAModeKeyChangesOnlyTheMask) {
    auto& device = useKeys("F0Md ui8 1 00\nFS! ui16 2 0000\n");
    smc.setFanMode(1, FanMode::forced);
    EXPECT_EQ(writtenKeys(device), Keys{"FS! "});
    EXPECT_EQ(device.value("FS! "), (Bytes{0x00, 0x02}));
    EXPECT_EQ(lines(), Lines{"Error read(F1Md): (iokit/common) data was not found"});
}

TEST_F(SMCFan, FanModeStopsAtTheFirstFailure) {
    auto& device = useKeys(twoFans("0000"));
    device.failCall(2 + 1, kIOReturnTimeout);  // the read of "F0Md" after getValue's
    smc.setFanMode(0, FanMode::forced);
    device.failCall(2 + 2 + 0, kIOReturnNotResponding);  // the write of "F0Md"
    smc.setFanMode(0, FanMode::forced);
    EXPECT_EQ(device.value("F0Md"), Bytes{0});
    EXPECT_EQ(device.writes().size(), 1u);  // the one that failed
    EXPECT_EQ(lines(), (Lines{"Error read fan mode: (iokit/common) I/O Timeout",
                              "Error write: (iokit/common) device not responding"}));
}

TEST_F(SMCFan, FanModeRefusesFansTheMaskByteCannotHold) {
    auto& device = useKeys("F8Md ui8 1 00\nFS! ui16 2 0000\n");
    smc.setFanMode(8, FanMode::forced);
    smc.setFanMode(-1, FanMode::forced);
    smc.setFanMode(0, static_cast<FanMode>(2));
    EXPECT_TRUE(device.calls.empty());
    EXPECT_EQ(lines(),
              (Lines{"Error setFanMode(): fan 8 is outside 0 to 7: (iokit/common) invalid argument",
                     "Error setFanMode(): fan -1 is outside 0 to 7: (iokit/common) invalid "
                     "argument",
                     "Error setFanMode(): mode 2 is neither 0 nor 1: (iokit/common) invalid "
                     "argument"}));
}

TEST_F(SMCFan, FanSpeedChecksTheMaximumWithItsFractionDropped) {
    auto& device = useKeys("F0Mx \"flt \" 4 0084bb45\nF0Tg fpe2 2 0000\n");  // 6000.5
    smc.setFanSpeed(0, 6001);
    EXPECT_TRUE(device.writes().empty());
    smc.setFanSpeed(0, 6000);
    EXPECT_EQ(device.value("F0Tg"), (Bytes{0x5D, 0xC0}));
    EXPECT_EQ(lines(), Lines{"new fan speed (6001) is more than maximum speed (6000)"});
}

TEST_F(SMCFan, FanSpeedWithoutAMaximumAllowsFourThousand) {
    auto& device = useKeys("F0Tg fpe2 2 0000\n");
    smc.setFanSpeed(0, 4000);
    smc.setFanSpeed(0, 4001);
    EXPECT_EQ(device.writes().size(), 1u);
    EXPECT_EQ(lines(), (Lines{"Error read(F0Mx): (iokit/common) data was not found",
                              "Error read(F0Mx): (iokit/common) data was not found",
                              "new fan speed (4001) is more than maximum speed (4000)"}));
}

TEST_F(SMCFan, FanSpeedIsEncodedByTheTargetsType) {
    auto& device = useKeys(R"(
        F0Mx fpe2 2 ffff
        F1Mx fpe2 2 ffff
        F2Mx fpe2 2 ffff
        F0Tg fpe2 4 ffffffff
        F1Tg "flt " 4 00000000
        F2Tg ui16 2 1234
    )");
    smc.setFanSpeed(0, 2500);
    smc.setFanSpeed(1, 2500);
    smc.setFanSpeed(2, 2500);
    const auto writes = device.writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].sent(), (Bytes{0x27, 0x10, 0x00, 0x00}));
    EXPECT_EQ(writes[1].sent(), (Bytes{0x00, 0x40, 0x1C, 0x45}));
    EXPECT_EQ(writes[2].sent(), (Bytes{0x12, 0x34}));
    EXPECT_TRUE(lines().empty());
}

TEST_F(SMCFan, FanSpeedRefusesFansAndSpeedsOutOfRangeBeforeAnyCall) {
    smc.setFanSpeed(10, 1000);
    smc.setFanSpeed(0, -1);
    smc.setFanSpeed(0, 16384);
    EXPECT_TRUE(laptop.calls.empty());
    EXPECT_EQ(lines(),
              (Lines{"Error setFanSpeed(): fan 10 is outside 0 to 9: (iokit/common) invalid "
                     "argument",
                     "Error setFanSpeed(): speed -1 is outside 0 to 16383: (iokit/common) invalid "
                     "argument",
                     "Error setFanSpeed(): speed 16384 is outside 0 to 16383: (iokit/common) "
                     "invalid argument"}));
}

TEST_F(SMCFan, FanSpeedLogsAFailedReadOrWriteOfTheTarget) {
    laptop.failCall(2 + 0, kIOReturnTimeout);  // after reading "F0Mx"
    smc.setFanSpeed(0, 3000);
    laptop.failCall(2 + 2, kIOReturnNotWritable);
    smc.setFanSpeed(0, 3000);
    EXPECT_EQ(lines(), (Lines{"Error read fan value: (iokit/common) I/O Timeout",
                              "Error write: (iokit/common) write not supported"}));
}

TEST_F(SMCFan, ResetWritesTwoZeroBytesWithoutReadingFirst) {
    auto& device = useKeys("FS! ui16 2 0003\n");
    smc.resetFanModes();
    ASSERT_EQ(device.calls.size(), 1u);
    EXPECT_EQ(device.calls[0].command(), SMCKeys::writeBytes);
    EXPECT_EQ(device.value("FS! "), (Bytes{0x00, 0x00}));

    device.failCall(0, kIOReturnNotResponding);
    smc.resetFanModes();
    EXPECT_EQ(lines(), Lines{"Error write: (iokit/common) device not responding"});
}

}  // namespace
}  // namespace ampwarden::test
