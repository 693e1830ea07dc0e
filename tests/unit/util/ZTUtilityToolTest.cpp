#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/NotificationNames.h"
#include "fake/FakePlatform.h"
#include "util/UninstallCommands.h"
#include "util/ZTUtilityTool.h"

namespace ampwarden::test {
namespace {

using Lines = std::vector<std::string>;

// What root reports, as the main app sees it, is the end-to-end start-up tests'.
TEST(StatusReport, WithoutRootItIsZeroAndAMissingVersionIsLeftOut) {
    InstalledPlatform<> platform;
    platform.facts.bundle.erase(names::kBundleShortVersionKey);
    platform.facts.ids = {.euid = 501, .uid = 0, .egid = 20, .gid = 0};
    ZTUtilityTool::GlobalDaemonInfo();
    EXPECT_EQ(
        platform.notifications.answers.back().dictionary,
        (NotificationDictionary{{"status", std::int32_t{0}}, {"buildVersion", std::string("7")}}));
    EXPECT_EQ(platform.log.systemLines().at(0), "EUID: 501, UID: 0\n");
    EXPECT_EQ(platform.log.systemLines().at(2), "守护进程以普通用户权限执行\n");
}

// Scripts the four uninstall commands: what the listing prints and each command's status.
struct UninstallScript {
    std::string listing;
    int removeProgram = 0;
    int disable = 0;
};

class Uninstall : public ::testing::Test {
  protected:
    void run(const UninstallScript& script) {
        platform.processRunner.handler =
            [&, script](const std::vector<std::string>& argv) -> std::optional<ProcessResult> {
            answersWhenRun.push_back(platform.notifications.answers.size());
            const std::string& line = argv.at(2);
            if (line == commands.listService) return ProcessResult{1, script.listing};
            if (line == commands.removeProgram) return ProcessResult{script.removeProgram, ""};
            if (line == commands.disableService) return ProcessResult{script.disable, ""};
            if (line == commands.removeUnitFile) return ProcessResult{0, ""};
            ADD_FAILURE() << "unexpected command " << line;
            return std::nullopt;
        };
        ZTUtilityTool::uninstallDaemonHelper();
        for (const auto& argv : platform.processRunner.ran) ran.push_back(argv.at(2));
    }

    InstalledPlatform<> platform;
    UninstallCommands commands = UninstallCommands::forInstallation();
    std::vector<std::size_t> answersWhenRun;
    Lines ran;
};

// A failed step only drops its own success line; a service that cannot be disabled keeps its
// unit file.
TEST_F(Uninstall, RegisteredServiceFailuresSkipOnlyWhatDependsOnThem) {
    run({.listing = "lumora.Ampwarden.service\n", .removeProgram = 1});
    EXPECT_EQ(ran, (Lines{commands.listService, commands.removeProgram, commands.disableService,
                          commands.removeUnitFile}));
    EXPECT_EQ(platform.log.systemLines(),
              (Lines{"开始卸载守护进程", "listCmdRes:lumora.Ampwarden.service\n",
                     "守护进程: 开始 unload守护进程", "守护进程: unload守护进程成功",
                     "守护进程: 移除配置文件成功"}));

    ran.clear();
    platform.processRunner.ran.clear();
    run({.listing = "lumora.Ampwarden.service loaded active running\n", .disable = 1});
    EXPECT_EQ(ran, (Lines{commands.listService, commands.removeProgram, commands.disableService}));
    EXPECT_EQ(platform.log.systemLines().back(), "守护进程: 开始 unload守护进程");
}

// Ending the process on the spot could drop the answer still queued for the bus.
TEST(Restart, AnswersFlushesAndEndsThroughTheLoop) {
    InstalledPlatform<> platform;
    ZTUtilityTool::reboot();
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
