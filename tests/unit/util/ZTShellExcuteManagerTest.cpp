#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/FakePlatform.h"
#include "util/ZTShellExcuteManager.h"

namespace ampwarden::test {
namespace {

// The line reaching bash unchanged, and the statuses, are the uninstall tests' (unit and
// end-to-end, where the commands run for real).
TEST(ShellRunner, EmptyOutputIsTextButBadBytesOrAFailedLaunchAreNone) {
    FakeProcessRunner processes;
    ZTShellExcuteManager shell(processes);
    std::optional<ProcessResult> result = ProcessResult{0, ""};
    processes.handler = [&](const std::vector<std::string>&) { return result; };
    EXPECT_EQ(shell.excuteCmd("true"), "");
    result->output = "caf\xC3";
    EXPECT_FALSE(shell.excuteCmd("x"));
    result.reset();
    EXPECT_FALSE(shell.excuteCmd("x"));
    EXPECT_EQ(shell.excuteRMCmd("x"), 100);
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
