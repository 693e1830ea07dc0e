#include "app/AppDelegate.h"

#include "app/ZTMonitorApp.h"
#include "channel/NotificationNames.h"
#include "channel/Notifications.h"
#include "channel/ZTBatteryNewModule.h"
#include "util/ZTUtilityTool.h"

namespace ampwarden {

AppDelegate* sharedAppDelegate = nullptr;

AppDelegate::AppDelegate(Platform& platform, LocalNotificationCenter& center)
    : platform_(platform), center_(center) {}

AppDelegate::~AppDelegate() {
    if (sharedAppDelegate == this) sharedAppDelegate = nullptr;
}

bool AppDelegate::AppAdmin() { return platform_.machine().processIds().euid == 0; }

void AppDelegate::applicationDidFinishLaunching() {
    sharedAppDelegate = this;
    if (!AppAdmin()) return;
    gate = std::make_unique<CommandGate>(platform_.runLoop(), platform_.authority(),
                                         platform_.diagnostics());
    NotificationChannel& channel = platform_.channel();
    gate->watchBacklog([&channel] { return channel.backlog(); });
    channel.addCommandObserver(names::kQueryDaemonLoadStatus, daemonStatusQueryCallback);
    channel.addCommandObserver(names::kGlobalQueryDaemonLoadStatus, daemonStatusQueryCallback);
    smcGuard = std::make_unique<GuardedSmcService>(platform_.smc(), platform_.runLoop(),
                                                   platform_.diagnostics());
    smcGuard->watchBacklog([&channel] { return channel.backlog(); });
    smc = std::make_unique<SMC>(*smcGuard, platform_.diagnostics());
    batteryModule = std::make_unique<ZTBatteryNewModule>(platform_, *smc, *gate, center_);
    ZTUtilityTool::GlobalDaemonInfo();
    monitor = std::make_shared<ZTMonitorApp>(platform_.runLoop(), platform_.applications(),
                                             platform_.diagnostics(), *gate, center_);
    monitor->startMonitoringAppWithBundleID(names::kMainAppId);
}

void daemonStatusQueryCallback(const std::string& name, const std::string& sender) {
    void (*report)() = nullptr;
    if (name == names::kQueryDaemonLoadStatus) {
        report = ZTUtilityTool::DaemonInfo;
    } else if (name == names::kGlobalQueryDaemonLoadStatus) {
        report = ZTUtilityTool::GlobalDaemonInfo;
    } else {
        return;
    }
    if (sharedAppDelegate == nullptr) return report();
    // A query from the main app proves it alive, so the watchdog will report it once it is gone.
    // Noted as it arrives, before the gate: in a flood identical queries share one answer, and
    // every sender must still count.
    if (sharedAppDelegate->monitor) sharedAppDelegate->monitor->statusQueryFrom(sender);
    if (!sharedAppDelegate->gate) return report();
    sharedAppDelegate->gate->submit(name, sender, CommandAccess::ReadOnly, report);
}

}  // namespace ampwarden
