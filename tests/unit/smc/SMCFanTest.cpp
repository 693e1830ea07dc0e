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

TEST_F(SMCFan, ModeSetsTheFansModeKeyAndItsBitInByteOneOfTheMask) {
    const struct {
        const char* before;
        int fan;
        FanMode mode;
        Bytes after;  // empty: "FS! " is not written
    } cases[] = {{"0000", 0, FanMode::forced, {0x00, 0x01}},
                 {"0001", 1, FanMode::forced, {0x00, 0x03}},
                 {"0003", 0, FanMode::automatic, {0x00, 0x02}},
                 {"0002", 1, FanMode::automatic, {0x00, 0x00}},
                 {"0001", 0, FanMode::forced, {}},
                 {"0000", 1, FanMode::automatic, {}},
                 {"0100", 0, FanMode::forced, {0x00, 0x01}}};  // byte 0 dropped
    for (const auto& c : cases) {
        auto& device = useKeys(std::string("F0Md ui8 1 00\nF1Md ui8 1 00\nFS! ui16 2 ") + c.before);
        smc.setFanMode(c.fan, c.mode);
        const std::string modeKey = "F" + std::to_string(c.fan) + "Md", row = c.before;
        EXPECT_EQ(device.value(modeKey), Bytes{std::uint8_t(rawValue(c.mode))}) << row;
        const Keys written = c.after.empty() ? Keys{modeKey} : Keys{modeKey, "FS! "};
        EXPECT_EQ(writtenKeys(device), written) << row << " fan " << c.fan;
        if (!c.after.empty()) {
            EXPECT_EQ(device.value("FS! "), c.after) << row;
        }
    }
    EXPECT_TRUE(lines().empty());
}

TEST_F(SMCFan, AFanWithoutAModeKeyStillGetsItsMaskBit) {
    auto& device = useKeys("F0Md ui8 1 00\nFS! ui16 2 0000\n");
    smc.setFanMode(1, FanMode::forced);
    EXPECT_EQ(writtenKeys(device), Keys{"FS! "});
    EXPECT_EQ(device.value("FS! "), (Bytes{0x00, 0x02}));
    EXPECT_EQ(lines(), Lines{"Error read(F1Md): (iokit/common) data was not found"});
}

TEST_F(SMCFan, SpeedIsCheckedAgainstTheMaximumWithItsFractionDropped) {
    auto& device = useKeys("F0Mx \"flt \" 4 0084bb45\nF0Tg fpe2 2 0000\n");  // 6000.5
    smc.setFanSpeed(0, 6001);
    EXPECT_TRUE(device.writes().empty());
    smc.setFanSpeed(0, 6000);
    EXPECT_EQ(device.value("F0Tg"), (Bytes{0x5D, 0xC0}));

    useKeys("F0Tg fpe2 2 0000\n");  // no maximum: 4000
    smc.setFanSpeed(0, 4001);
    smc.setFanSpeed(0, 4000);
    EXPECT_EQ(lines(), (Lines{"Error read(F0Mx): (iokit/common) data was not found",
                              "new fan speed (4001) is more than maximum speed (4000)",
                              "Error read(F0Mx): (iokit/common) data was not found"}));
}

TEST_F(SMCFan, SpeedIsEncodedByTheTargetsType) {
    auto& device = useKeys(R"(
        F0Tg fpe2 4 ffffffff
        F1Tg "flt " 4 00000000
        F2Tg ui16 2 1234
    )");
    for (int fan = 0; fan < 3; ++fan) smc.setFanSpeed(fan, 2500);
    const auto writes = device.writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].sent(), (Bytes{0x27, 0x10, 0x00, 0x00}));
    EXPECT_EQ(writes[1].sent(), (Bytes{0x00, 0x40, 0x1C, 0x45}));
    EXPECT_EQ(writes[2].sent(), (Bytes{0x12, 0x34}));
}

// A reset that succeeds (one write, "FS! " 0000) is the end-to-end tool test's.
TEST_F(SMCFan, BadFansAreRefusedBeforeAnyCallAndEachFailedCallIsOneLineAndEndsTheOperation) {
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
    EXPECT_EQ(laptop.writes().size(), 1u);  // the failing one
    const std::string bad = ": (iokit/common) invalid argument";
    EXPECT_EQ(lines(), (Lines{"Error setFanMode(): fan 10 is outside 0 to 9" + bad,
                              "Error setFanMode(): fan -1 is outside 0 to 9" + bad,
                              "Error setFanSpeed(): fan 10 is outside 0 to 9" + bad,
                              "Error read fan mode: (iokit/common) I/O Timeout",
                              "Error read fan value: (iokit/common) device not responding",
                              "Error write: (iokit/common) write not supported"}));
}

// Fans 8 and 9 have mode keys but no mask bit; only "fpe2" limits a speed to 16383, and a
// speed above the maximum is refused as such first.
TEST_F(SMCFan, HighFansKeepTheirModeKeyAndOnlyFpe2TargetsHaveARange) {
    auto& device = useKeys(R"(
        F8Md ui8 1 01
        FS! ui16 2 0000
        F0Tg fpe2 2 0000
        F1Mx "flt " 4 00409c46
        F1Tg "flt " 4 00000000
        F2Mx "flt " 4 00409c46
        F2Tg fpe2 2 0000
    )");  // both maxima 20000
    smc.setFanMode(8, FanMode::automatic);
    EXPECT_EQ(device.value("F8Md"), Bytes{0});
    EXPECT_EQ(device.writes().size(), 1u) << "no mask write for fan 8";
    smc.setFanSpeed(0, 20000);
    smc.setFanSpeed(1, 17000);
    smc.setFanSpeed(2, 17000);
    EXPECT_EQ(device.value("F1Tg"), (Bytes{0x00, 0xd0, 0x84, 0x46}));
    EXPECT_EQ(device.value("F2Tg"), (Bytes{0x00, 0x00}));
    EXPECT_EQ(lines(), (Lines{"Error read(F0Mx): (iokit/common) data was not found",
                              "new fan speed (20000) is more than maximum speed (4000)",
                              "Error setFanSpeed(): speed 17000 is outside 0 to 16383: "
                              "(iokit/common) invalid argument"}));
}

}  // namespace
}  // namespace ampwarden::test
