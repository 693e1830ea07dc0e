#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/FakePlatform.h"
#include "protocol/NotificationNames.h"
#include "util/UninstallCommands.h"
#include "util/ZTUtilityTool.h"

namespace ampwarden::test {
namespace {

using Lines = std::vector<std::string>;

ZTUtilityTool utilityOn(FakePlatform& platform) {
    return ZTUtilityTool(platform.facts, platform.notifications, platform.clock, platform.log,
                         platform.processRunner);
}

// What root reports, as the main app sees it, is the end-to-end start-up tests'.
TEST(StatusReport, WithoutRootItIsZeroAndAMissingVersionIsLeftOut) {
    FakePlatform platform;
    platform.facts.bundle.erase(names::kBundleShortVersionKey);
    platform.facts.ids = {.euid = 501, .uid = 0, .egid = 20, .gid = 0};
    utilityOn(platform).GlobalDaemonInfo();
    EXPECT_EQ(
        platform.notifications.answers.back().dictionary,
        (NotificationDictionary{{"status", std::int32_t{0}}, {"buildVersion", std::string("7")}}));
}

// The main app hears of the uninstall before anything is removed. A failed step skips only what
// depends on it: a service that cannot be disabled keeps its unit file, a program that cannot be
// removed stops nothing, and a service that is not loaded is not deregistered.
TEST(Uninstall, AnswersFirstAndFailuresSkipOnlyWhatDependsOnThem) {
    FakePlatform platform;
    const UninstallCommands commands = UninstallCommands::forInstallation();
    const std::string answer = "(answered)";
    const auto uninstall = [&](const char* listed, int removeStatus, int disableStatus) {
        Lines ran;
        platform.notifications.answers.clear();
        platform.processRunner.handler = [&](const std::vector<std::string>& argv) {
            if (!platform.notifications.answers.empty() && ran.size() == 1) ran.push_back(answer);
            const std::string& line = ran.emplace_back(argv.at(2));
            if (line == commands.listService) return ProcessResult{1, listed};
            if (line == commands.removeProgram) return ProcessResult{removeStatus, ""};
            return ProcessResult{line == commands.disableService ? disableStatus : 0, ""};
        };
        utilityOn(platform).uninstallDaemonHelper();
        return ran;
    };
    const char* loaded = "lumora.Ampwarden.service\n";
    EXPECT_EQ(uninstall(loaded, 1, 0), (Lines{commands.listService, answer, commands.removeProgram,
                                              commands.disableService, commands.removeUnitFile}));
    EXPECT_EQ(uninstall(loaded, 0, 1), (Lines{commands.listService, answer, commands.removeProgram,
                                              commands.disableService}));
    EXPECT_EQ(uninstall("", 0, 0), (Lines{commands.listService, answer, commands.removeProgram,
                                          commands.removeUnitFile}));
}

// Ending the process on the spot could drop the answer still queued for the bus.
TEST(Restart, AnswersFlushesAndEndsThroughTheLoop) {
    FakePlatform platform;
    utilityOn(platform).reboot();
    EXPECT_EQ(platform.notifications.answersWhenFlushed, std::vector<std::size_t>{1});
    EXPECT_EQ(platform.clock.quitCode(), 0);
}

TEST(UninstallCommands, PathsAreSingleBashWordsUnderAScratchRoot) {
    const auto commands = UninstallCommands::forRoot("/tmp/it's here");
    EXPECT_EQ(commands.removeProgram.rfind("rm -rf '/tmp/it'\\''s here/", 0), 0u);
    EXPECT_NE(commands.removeUnitFile.find("/lumora.Ampwarden.service'"), std::string::npos);
    EXPECT_NE(commands.disableService.find("--root='/tmp/it'\\''s here'"), std::string::npos);
    EXPECT_EQ(UninstallCommands::forRoot("").disableService,
              "systemctl disable lumora.Ampwarden.service");
}

}  // namespace
}  // namespace ampwarden::test
