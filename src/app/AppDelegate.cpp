#include "app/AppDelegate.h"

#include "app/ZTMonitorApp.h"
#include "channel/Notifications.h"
#include "channel/ZTBatteryNewModule.h"
#include "protocol/NotificationNames.h"

namespace ampwarden {

AppDelegate::AppDelegate(Platform& platform, LocalNotificationCenter& center)
    : platform_(platform),
      center_(center),
      utility_(platform.machine(), platform.channel(), platform.runLoop(), platform.diagnostics(),
               platform.processes()) {}

AppDelegate::~AppDelegate() = default;

bool AppDelegate::AppAdmin() { return platform_.machine().processIds().euid == 0; }

void AppDelegate::applicationDidFinishLaunching() {
    if (!AppAdmin()) return;
    gate = std::make_unique<CommandGate>(platform_.runLoop(), platform_.authority(),
                                         platform_.diagnostics());
    NotificationChannel& channel = platform_.channel();
    gate->watchBacklog([&channel] { return channel.backlog(); });
    const auto statusQuery = [this](const std::string& name, const std::string& sender) {
        daemonStatusQueryCallback(name, sender);
    };
    channel.addCommandObserver(names::kQueryDaemonLoadStatus, statusQuery);
    channel.addCommandObserver(names::kGlobalQueryDaemonLoadStatus, statusQuery);
    smcGuard = std::make_unique<GuardedSmcService>(platform_.smc(), platform_.runLoop(),
                                                   platform_.diagnostics());
    smcGuard->watchBacklog([&channel] { return channel.backlog(); });
    smc = std::make_unique<SMC>(*smcGuard, platform_.diagnostics());
    batteryModule = std::make_unique<ZTBatteryNewModule>(platform_, *smc, *gate, center_);
    utility_.GlobalDaemonInfo();
    monitor = std::make_shared<ZTMonitorApp>(platform_.runLoop(), platform_.applications(),
                                             platform_.diagnostics(), *gate, center_);
    monitor->startMonitoringAppWithBundleID(names::kMainAppId);
}

void AppDelegate::daemonStatusQueryCallback(const std::string& name, const std::string& sender) {
    void (ZTUtilityTool::*report)() = nullptr;
    if (name == names::kQueryDaemonLoadStatus) {
        report = &ZTUtilityTool::DaemonInfo;
    } else if (name == names::kGlobalQueryDaemonLoadStatus) {
        report = &ZTUtilityTool::GlobalDaemonInfo;
    } else {
        return;
    }
    // A query from the main app proves it alive, so the watchdog will report it once it is gone.
    // Noted as it arrives, before the gate: in a flood identical queries share one answer, and
    // every sender must still count.
    if (monitor) monitor->statusQueryFrom(sender);
    if (!gate) return (utility_.*report)();
    gate->submit(name, sender, CommandAccess::ReadOnly, [this, report] { (utility_.*report)(); });
}

}  // namespace ampwarden
