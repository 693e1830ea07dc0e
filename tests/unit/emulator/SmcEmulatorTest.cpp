#include <gtest/gtest.h>

#include <tuple>

#include "emulator/KeyTableFile.h"
#include "emulator/SmcEmulator.h"
#include "platform/MachError.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"

namespace ampwarden {
namespace {

using Bytes = std::vector<std::uint8_t>;

SMCKeyData_t request(const char* key, SMCKeys command, std::uint32_t size = 0) {
    SMCKeyData_t record;
    record.key = toUInt32(key);
    record.data8 = rawValue(command);
    record.keyInfo.dataSize = size;
    return record;
}

SmcKeyTable tableOf(const std::string& text) {
    std::string error;
    auto table = KeyTableFile::parse(text, error);
    EXPECT_TRUE(table) << error;
    return table ? *table : SmcKeyTable();
}

// What the device answers is the SMC tests', which all run on it; here only what it refuses.
TEST(SmcEmulator, RefusesLikeTheFirmwareWithCodeAndResultByte) {
    SmcEmulator device(tableOf("BCLM ui8 1 64\nTB0T sp78 2 1e40 ro\n"));
    SMCKeyData_t out;
    const std::tuple<SMCKeyData_t, kern_return_t, int> cases[] = {
        {request("ZZZZ", SMCKeys::readKeyInfo), kIOReturnNotFound, 0x84},
        {request("BCLM", SMCKeys::writeBytes, 2), kIOReturnBadArgument, 0x87},
        {request("TB0T", SMCKeys::writeBytes, 2), kIOReturnNotWritable, 0x86},
    };
    for (const auto& [in, code, result] : cases) {
        EXPECT_EQ(device.call(2, in, out), code) << toString(in.key) << int(in.data8);
        EXPECT_EQ(out.result, result) << toString(in.key) << int(in.data8);
    }
    EXPECT_EQ(device.table().find("BCLM")->bytes, Bytes{0x64});
}

// A value of the wrong length is the end-to-end emulator test's.
TEST(KeyTableFile, ReadsAndWritesBackQuotedPaddedFieldsAndFlagsAndNamesTheLineOfAFault) {
    const SmcKeyTable table = tableOf(R"(# charge keys
        BCLM ui8 1 64
        "FS! " "ui16" 2 0001 ro
          #
        EMPT ui8 0 -
        #KEY ui32 4 00000009
    )");
    // "#KEY" keeps its own count, where given.
    EXPECT_EQ(
        KeyTableFile::format(table),
        "BCLM \"ui8 \" 1 64\n\"FS! \" ui16 2 0001 ro\nEMPT \"ui8 \" 0 -\n#KEY ui32 4 00000009\n");
    EXPECT_EQ(KeyTableFile::format(tableOf(KeyTableFile::format(SmcKeyTable::intelLaptop()))),
              KeyTableFile::format(SmcKeyTable::intelLaptop()));

    const std::pair<const char*, const char*> bad[] = {
        {"BCLM ui8 1", "line 1: expected KEY TYPE SIZE HEXBYTES [ro]"},
        {"\nBCLMX ui8 1 00", "line 2: key \"BCLMX\" is not four characters"},
        {"BCLM ui8 33 00", "line 1: size \"33\" is not a number from 0 to 32"},
        {"BCLM ui8 1 00 rw", "line 1: unknown flag \"rw\" (only \"ro\")"},
        {"\"FS! ui16 2 00", "line 1: a quote is not closed"},
        {"BCLM ui8 1 00\nBCLM ui8 1 01", "line 2: key \"BCLM\" appears twice"},
        // None of these could be printed so that they read back.
        {"\"A\tBC\" ui8 1 00", "line 1: a key or type holds a quote, a tab or a line break"},
    };
    for (const auto& [text, message] : bad) {
        std::string error;
        EXPECT_FALSE(KeyTableFile::parse(text, error)) << text;
        EXPECT_EQ(error, message);
    }
}

}  // namespace
}  // namespace ampwarden
