#include "util/ZTUtilityTool.h"

#include "protocol/NotificationNames.h"
#include "util/UninstallCommands.h"

namespace ampwarden {

ZTUtilityTool::ZTUtilityTool(MachineFacts& machine, NotificationChannel& channel, RunLoop& loop,
                             Diagnostics& log, ProcessRunner& processes)
    : machine_(machine), channel_(channel), loop_(loop), log_(log), shell_(processes) {}

// "status", "version", "buildVersion"; a version the bundle lacks is left out.
NotificationDictionary ZTUtilityTool::statusDictionary(const ProcessIds& ids) {
    NotificationDictionary dictionary;
    dictionary[names::kStatusKey] = static_cast<std::int32_t>(ids.euid == 0 ? 1 : 0);
    const auto bundle = machine_.bundleInfo();
    if (auto it = bundle.find(names::kBundleShortVersionKey); it != bundle.end()) {
        dictionary[names::kVersionKey] = it->second;
    }
    if (auto it = bundle.find(names::kBundleVersionKey); it != bundle.end()) {
        dictionary[names::kBuildVersionKey] = it->second;
    }
    return dictionary;
}

void ZTUtilityTool::postStatusReport(const char* answerName) {
    const ProcessIds ids = machine_.processIds();
    log("EUID: " + std::to_string(ids.euid) + ", UID: " + std::to_string(ids.uid) + "\n");
    log("EGID: " + std::to_string(ids.egid) + ", GID: " + std::to_string(ids.gid) + "\n");
    log(ids.euid == 0 ? "守护进程以超级用户权限执行\n" : "守护进程以普通用户权限执行\n");
    const NotificationDictionary dictionary = statusDictionary(ids);
    log("启动成功后主动发送状态信息 mdict:" + describeDictionary(dictionary));
    channel_.postDistributedNotification(answerName, dictionary);
}

void ZTUtilityTool::DaemonInfo() { postStatusReport(names::kDaemonLoadStatusAnswer); }

void ZTUtilityTool::GlobalDaemonInfo() { postStatusReport(names::kGlobalDaemonLoadStatusAnswer); }

void ZTUtilityTool::uninstallDaemonHelper() {
    const UninstallCommands commands = UninstallCommands::forInstallation();
    log("开始卸载守护进程");
    const auto listed = shell_.excuteCmd(commands.listService);
    log("listCmdRes:" + (listed ? *listed : std::string("(null)")));
    channel_.postDistributedNotification(names::kUninstallHelperAnswer,
                                         {{names::kUninstallSelfKey, std::int32_t{1}}});
    const bool loaded = listed && listed->find("lumora.Ampwarden") != std::string::npos;

    if (shell_.excuteRMCmd(commands.removeProgram) == 0) {
        log("守护进程: 移除守护进程app成功");
    }
    if (loaded) {
        log("守护进程: 开始 unload守护进程");
        // A service that could not be deregistered keeps its definition.
        if (shell_.excuteRMCmd(commands.disableService) != 0) return;
        log("守护进程: unload守护进程成功");
    }
    if (shell_.excuteRMCmd(commands.removeUnitFile) == 0) {
        log("守护进程: 移除配置文件成功");
    }
}

void ZTUtilityTool::reboot() {
    channel_.postDistributedNotification(names::kRestartAnswer,
                                         {{names::kRestartKey, names::kRestartValue}});
    // The answer must be on its way before the process ends; the loop then ends it cleanly.
    channel_.flush();
    loop_.quit(0);
}

}  // namespace ampwarden
