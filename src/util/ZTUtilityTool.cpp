#include "util/ZTUtilityTool.h"

#include "channel/NotificationNames.h"
#include "platform/Platform.h"
#include "util/UninstallCommands.h"
#include "util/ZTShellExcuteManager.h"

namespace ampwarden {

namespace {

void log(const std::string& line) { Platform::current().diagnostics().systemLog(line); }

// "status", "version", "buildVersion"; a version the bundle lacks is left out.
NotificationDictionary statusDictionary(const ProcessIds& ids) {
    NotificationDictionary dictionary;
    dictionary[names::kStatusKey] = static_cast<std::int32_t>(ids.euid == 0 ? 1 : 0);
    const auto bundle = Platform::current().machine().bundleInfo();
    if (auto it = bundle.find(names::kBundleShortVersionKey); it != bundle.end()) {
        dictionary[names::kVersionKey] = it->second;
    }
    if (auto it = bundle.find(names::kBundleVersionKey); it != bundle.end()) {
        dictionary[names::kBuildVersionKey] = it->second;
    }
    return dictionary;
}

void postStatusReport(const char* answerName) {
    const ProcessIds ids = Platform::current().machine().processIds();
    log("EUID: " + std::to_string(ids.euid) + ", UID: " + std::to_string(ids.uid) + "\n");
    log("EGID: " + std::to_string(ids.egid) + ", GID: " + std::to_string(ids.gid) + "\n");
    log(ids.euid == 0 ? "守护进程以超级用户权限执行\n" : "守护进程以普通用户权限执行\n");
    const NotificationDictionary dictionary = statusDictionary(ids);
    log("启动成功后主动发送状态信息 mdict:" + describeDictionary(dictionary));
    postDistributedNotification(answerName, dictionary);
}

}  // namespace

void ZTUtilityTool::DaemonInfo() { postStatusReport(names::kDaemonLoadStatusAnswer); }

void ZTUtilityTool::GlobalDaemonInfo() { postStatusReport(names::kGlobalDaemonLoadStatusAnswer); }

void ZTUtilityTool::uninstallDaemonHelper() {
    const UninstallCommands commands = UninstallCommands::forInstallation();
    log("开始卸载守护进程");
    const auto listed = ZTShellExcuteManager::excuteCmd(commands.listService);
    log("listCmdRes:" + (listed ? *listed : std::string("(null)")));
    postDistributedNotification(names::kUninstallHelperAnswer,
                                {{names::kUninstallSelfKey, std::int32_t{1}}});
    const bool loaded = listed && listed->find("lumora.Ampwarden") != std::string::npos;

    if (ZTShellExcuteManager::excuteRMCmd(commands.removeProgram) == 0) {
        log("守护进程: 移除守护进程app成功");
    }
    if (loaded) {
        log("守护进程: 开始 unload守护进程");
        // A service that could not be deregistered keeps its definition.
        if (ZTShellExcuteManager::excuteRMCmd(commands.disableService) != 0) return;
        log("守护进程: unload守护进程成功");
    }
    if (ZTShellExcuteManager::excuteRMCmd(commands.removeUnitFile) == 0) {
        log("守护进程: 移除配置文件成功");
    }
}

void ZTUtilityTool::reboot() {
    postDistributedNotification(names::kRestartAnswer,
                                {{names::kRestartKey, names::kRestartValue}});
    // The answer must be on its way before the process ends; the loop then ends it cleanly.
    Platform::current().channel().flush();
    Platform::current().runLoop().quit(0);
}

}  // namespace ampwarden
