#include <gtest/gtest.h>

#include "platform/MachError.h"
#include "unit/smc/SMCTestFixture.h"

namespace ampwarden::test {
namespace {

using Keys = std::vector<std::string>;
using Lines = std::vector<std::string>;

using SMCEnumeration = SMCTest;

TEST_F(SMCEnumeration, ListsEveryKeyInIndexOrderOneCallEach) {
    const Keys keys = smc.getAllKeys();
    Keys expected;
    for (const EmulatedKey& key : laptop.device.table().keys()) expected.push_back(key.key);
    EXPECT_EQ(keys, expected);

    const auto indexCalls = laptop.callsOf(SMCKeys::readIndex);
    ASSERT_EQ(indexCalls.size(), keys.size());
    EXPECT_EQ(laptop.calls.size(), 2 + keys.size());
    for (std::size_t i = 0; i < indexCalls.size(); ++i) {
        EXPECT_EQ(indexCalls[i].input.data32, i);
        EXPECT_EQ(indexCalls[i].input.key, 0u);
    }
    EXPECT_TRUE(lines().empty());
}

// A failed index is skipped; the first index past the table ends the list, whatever the count.
TEST_F(SMCEnumeration, SkipsAnIndexWhoseCallFailsAndStopsPastTheTable) {
    auto& device = useKeys("#KEY ui32 4 ffffffff\nAAAA ui8 1 01\nBBBB ui8 1 02\n");
    device.failCall(2 + 1, kIOReturnTimeout);  // after the two calls of reading "#KEY"
    EXPECT_EQ(smc.getAllKeys(), (Keys{"#KEY", "BBBB"}));
    EXPECT_EQ(device.callsOf(SMCKeys::readIndex).size(), 4u);
    EXPECT_TRUE(lines().empty());
}

TEST_F(SMCEnumeration, NoCountOrOneThatCannotIndexTheTableMeansOneLineAndNoKeys) {
    auto& device = useKeys("#KEY ui32 4 00000000\n");
    EXPECT_EQ(smc.getAllKeys(), Keys{});
    EXPECT_EQ(lines(), Lines{"ERROR no keys count found"});
    EXPECT_TRUE(device.callsOf(SMCKeys::readIndex).empty());

    useKeys("AAAA ui8 1 01\n").failCall(0, kIOReturnNotResponding);
    EXPECT_EQ(smc.getAllKeys(), Keys{});
    EXPECT_EQ(lines(), (Lines{"Error read(#KEY): (iokit/common) device not responding",
                              "ERROR no keys count found"}));

    // "flt " counts: -5, NaN, +infinity, 2^33.
    const std::pair<const char*, const char*> counts[] = {
        {"0000a0c0", "-5"}, {"0000c07f", "nan"}, {"0000807f", "inf"}, {"00000050", "8589934592"}};
    for (const auto& [bytes, shown] : counts) {
        auto& counted = useKeys(std::string("#KEY \"flt \" 4 ") + bytes + "\n");
        EXPECT_EQ(smc.getAllKeys(), Keys{}) << bytes;
        EXPECT_TRUE(counted.callsOf(SMCKeys::readIndex).empty()) << bytes;
        EXPECT_EQ(lines(), Lines{std::string("Error getAllKeys(): key count ") + shown +
                                 " is outside 0 to 4294967296: (iokit/common) invalid argument"});
    }
}

}  // namespace
}  // namespace ampwarden::test
