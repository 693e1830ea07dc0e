#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/FakePlatform.h"
#include "util/ZTShellExcuteManager.h"

namespace ampwarden::test {
namespace {

TEST(ShellRunner, HandsTheLineToBashUnchangedAndReportsOutputOrStatus) {
    FakePlatform platform;
    platform.processRunner.handler = [](const std::vector<std::string>&) {
        return ProcessResult{3, "out"};
    };
    const std::string line = "rm -rf /Library/Application' 'Support/x";
    EXPECT_EQ(ZTShellExcuteManager::excuteCmd(line), "out");
    EXPECT_EQ(ZTShellExcuteManager::excuteRMCmd(line), 3);
    EXPECT_EQ(platform.processRunner.ran.at(0),
              (std::vector<std::string>{"/bin/bash", "-c", line}));
}

TEST(ShellRunner, EmptyOutputIsTextButBadBytesOrAFailedLaunchAreNone) {
    FakePlatform platform;
    ProcessResult result{0, ""};
    bool launches = true;
    platform.processRunner.handler =
        [&](const std::vector<std::string>&) -> std::optional<ProcessResult> {
        if (!launches) return std::nullopt;
        return result;
    };
    EXPECT_EQ(ZTShellExcuteManager::excuteCmd("true"), "");
    result.output = "caf\xC3";
    EXPECT_FALSE(ZTShellExcuteManager::excuteCmd("x"));
    launches = false;
    EXPECT_FALSE(ZTShellExcuteManager::excuteCmd("x"));
    EXPECT_EQ(ZTShellExcuteManager::excuteRMCmd("x"), 100);
}

TEST(Utf8, AcceptsWellFormedTextAndRejectsMalformedSequences) {
    for (const char* good : {"", "plain", "守护进程", "caf\xC3\xA9", "\xF0\x9F\x94\x8B", "\x7F"}) {
        EXPECT_TRUE(isValidUtf8(good)) << good;
    }
    for (const char* bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xE6\x88", "\xF0\x9F\x94", "ok\xFF"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << "rejects a malformed sequence";
    }
}

}  // namespace
}  // namespace ampwarden::test
