#include <gtest/gtest.h>

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

TEST(SmcEmulator, AnswersKeyInfoAndBytesAndTakesWritesOfTheRightSize) {
    SmcEmulator device(tableOf("F0Tg fpe2 2 1f40\n"));
    std::vector<std::string> written;
    device.setWriteObserver([&](const EmulatedKey& key) { written.push_back(key.key); });
    SMCKeyData_t out;

    EXPECT_EQ(device.call(2, request("F0Tg", SMCKeys::readKeyInfo), out), kKernSuccess);
    EXPECT_EQ(out.keyInfo.dataSize, 2u);
    EXPECT_EQ(toString(out.keyInfo.dataType), "fpe2");

    EXPECT_EQ(device.call(2, request("F0Tg", SMCKeys::readBytes, 2), out), kKernSuccess);
    EXPECT_EQ(out.bytes[0], 0x1F);
    EXPECT_EQ(out.bytes[1], 0x40);

    auto write = request("F0Tg", SMCKeys::writeBytes, 2);
    write.bytes[0] = 0x27;
    write.bytes[1] = 0x10;
    write.bytes[2] = 0xFF;  // beyond the key's size: not stored
    EXPECT_EQ(device.call(2, write, out), kKernSuccess);
    EXPECT_EQ(device.table().find("F0Tg")->bytes, (Bytes{0x27, 0x10}));
    EXPECT_EQ(written, std::vector<std::string>{"F0Tg"});
}

TEST(SmcEmulator, RefusesLikeTheFirmwareWithCodeAndResultByte) {
    SmcEmulator device(tableOf("BCLM ui8 1 64\nTB0T sp78 2 1e40 ro\n"));
    SMCKeyData_t out;
    struct Case {
        SMCKeyData_t in;
        kern_return_t code;
        std::uint8_t result;
    } cases[] = {
        {request("ZZZZ", SMCKeys::readKeyInfo), kIOReturnNotFound, 0x84},
        {request("ZZZZ", SMCKeys::readBytes, 1), kIOReturnNotFound, 0x84},
        {request("ZZZZ", SMCKeys::writeBytes, 1), kIOReturnNotFound, 0x84},
        {request("BCLM", SMCKeys::writeBytes, 2), kIOReturnBadArgument, 0x87},
        {request("BCLM", SMCKeys::readBytes, 2), kIOReturnBadArgument, 0x87},
        {request("TB0T", SMCKeys::writeBytes, 2), kIOReturnNotWritable, 0x86},
        {request("#KEY", SMCKeys::writeBytes, 4), kIOReturnNotWritable, 0x86},
        {request("BCLM", SMCKeys::readVers), kIOReturnUnsupported, 0x87},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(device.call(2, c.in, out), c.code) << toString(c.in.key) << int(c.in.data8);
        EXPECT_EQ(out.result, c.result) << toString(c.in.key) << int(c.in.data8);
    }
    EXPECT_EQ(device.call(3, request("BCLM", SMCKeys::readKeyInfo), out), kIOReturnUnsupported);
    EXPECT_EQ(device.table().find("BCLM")->bytes, Bytes{0x64});
}

TEST(SmcEmulator, WalksItsTableByIndexWithTheCountFirst) {
    SmcEmulator device(tableOf("BCLM ui8 1 64\nFS! ui16 2 0000\n"));
    SMCKeyData_t in;
    SMCKeyData_t out;
    in.data8 = rawValue(SMCKeys::readIndex);
    std::vector<std::string> keys;
    for (in.data32 = 0; device.call(2, in, out) == kKernSuccess; ++in.data32) {
        keys.push_back(toString(out.key));
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"#KEY", "BCLM", "FS! "}));
    EXPECT_EQ(in.data32, 3u);
    EXPECT_EQ(device.table().find("#KEY")->bytes, (Bytes{0, 0, 0, 3}));
}

TEST(SmcEmulator, AnswersFramesAsTheSocketCarriesThem) {
    SmcEmulator device;
    const auto reply =
        device.answer(EmulatorFrame::request(2, request("BCLM", SMCKeys::readKeyInfo)));
    EXPECT_EQ(EmulatorFrame::head(reply), 0u);
    EXPECT_EQ(EmulatorFrame::record(reply).keyInfo.dataSize, 1u);
    const auto missing =
        device.answer(EmulatorFrame::request(2, request("ZZZZ", SMCKeys::readBytes)));
    EXPECT_EQ(static_cast<kern_return_t>(EmulatorFrame::head(missing)), kIOReturnNotFound);
    // Little-endian on the wire, whatever the host.
    EXPECT_EQ(missing[0], 0xF0);
    EXPECT_EQ(missing[3], 0xE0);
}

TEST(SmcEmulator, DefaultTableIsATwoFanLaptop) {
    const SmcKeyTable table = SmcKeyTable::intelLaptop();
    const std::pair<const char*, const char*> typed[] = {
        {"BCLM", "ui8 "}, {"CH0B", "hex_"}, {"CH0C", "hex_"}, {"CH0I", "hex_"}, {"FS! ", "ui16"},
        {"F0Md", "ui8 "}, {"F1Md", "ui8 "}, {"F0Tg", "fpe2"}, {"F1Mx", "fpe2"}, {"F0ID", "{fds"},
        {"CHBI", "ui32"}, {"BCLC", "ui8 "}, {"ACLC", "ui8 "}, {"AC-W", "ui8 "}, {"CH0K", "ui8 "},
        {"BBIF", "ui8 "}, {"#KEY", "ui32"}};
    for (const auto& [key, type] : typed) {
        ASSERT_NE(table.find(key), nullptr) << key;
        EXPECT_EQ(table.find(key)->dataType, type) << key;
    }
    EXPECT_EQ(table.find("BCLM")->bytes, Bytes{100});
    EXPECT_EQ(table.keys().front().key, "#KEY");
    EXPECT_EQ(table.find("#KEY")->bytes.back(), table.size());
    for (std::size_t i = 1; i + 1 < table.size(); ++i) {
        EXPECT_LT(toUInt32(table.keys()[i].key), toUInt32(table.keys()[i + 1].key));
    }
}

TEST(KeyTableFile, ReadsQuotedAndPaddedFieldsCommentsAndFlags) {
    const SmcKeyTable table = tableOf(R"(# charge keys
        BCLM ui8 1 64
        "FS! " "ui16" 2 0001 ro
        FNum ui8 1 0A
          #
        EMPT ui8 0 -
        #KEY ui32 4 00000009
    )");
    ASSERT_EQ(table.size(), 5u);
    EXPECT_EQ(table.keys()[0].dataType, "ui8 ");
    EXPECT_EQ(table.keys()[1].key, "FS! ");
    EXPECT_TRUE(table.keys()[1].readOnly);
    EXPECT_FALSE(table.keys()[0].readOnly);
    EXPECT_EQ(table.keys()[2].bytes, Bytes{10});
    EXPECT_EQ(table.keys()[3].key, "EMPT");
    EXPECT_EQ(table.keys()[4].key, "#KEY");  // its own, kept where and as given
    EXPECT_EQ(table.keys()[4].bytes, (Bytes{0, 0, 0, 9}));
    EXPECT_EQ(tableOf("FS! ui16 2 0000\n").find("FS! ")->dataType, "ui16");
}

TEST(KeyTableFile, NamesTheLineAndTheFault) {
    const std::pair<const char*, const char*> bad[] = {
        {"BCLM ui8 1", "line 1: expected KEY TYPE SIZE HEXBYTES [ro]"},
        {"\nBCLMX ui8 1 00", "line 2: key \"BCLMX\" is not four characters"},
        {"BCLM ui8xx 1 00", "line 1: type \"ui8xx\" is not four characters"},
        {"BCLM ui8 33 00", "line 1: size \"33\" is not a number from 0 to 32"},
        {"BCLM ui8 2 00", "line 1: value \"00\" is not 2 bytes in hex"},
        {"BCLM ui8 1 zz", "line 1: value \"zz\" is not 1 bytes in hex"},
        {"BCLM ui8 1 00 rw", "line 1: unknown flag \"rw\" (only \"ro\")"},
        {"\"FS! ui16 2 00", "line 1: a quote is not closed"},
        {"BCLM ui8 1 00\nBCLM ui8 1 01", "line 2: key \"BCLM\" appears twice"},
    };
    for (const auto& [text, message] : bad) {
        std::string error;
        EXPECT_FALSE(KeyTableFile::parse(text, error)) << text;
        EXPECT_EQ(error, message);
    }
}

TEST(KeyTableFile, FormatsWhatItReadsBack) {
    const SmcKeyTable laptop = SmcKeyTable::intelLaptop();
    const std::string text = KeyTableFile::format(laptop);
    EXPECT_NE(text.find("\"FS! \" ui16 2 0000\n"), std::string::npos);
    EXPECT_NE(text.find("TC0P sp78 2 2d80 ro\n"), std::string::npos);
    const SmcKeyTable again = tableOf(text);
    ASSERT_EQ(again.size(), laptop.size());
    for (std::size_t i = 0; i < laptop.size(); ++i) {
        EXPECT_EQ(again.keys()[i].key, laptop.keys()[i].key);
        EXPECT_EQ(again.keys()[i].dataType, laptop.keys()[i].dataType);
        EXPECT_EQ(again.keys()[i].bytes, laptop.keys()[i].bytes);
        EXPECT_EQ(again.keys()[i].readOnly, laptop.keys()[i].readOnly);
    }
}

}  // namespace
}  // namespace ampwarden
