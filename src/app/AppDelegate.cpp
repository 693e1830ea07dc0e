#include "app/AppDelegate.h"

#include "app/ZTMonitorApp.h"
#include "channel/NotificationNames.h"
#include "channel/Notifications.h"
#include "channel/ZTBatteryNewModule.h"
#include "platform/Platform.h"
#include "util/ZTUtilityTool.h"

namespace ampwarden {

AppDelegate* sharedAppDelegate = nullptr;

AppDelegate::AppDelegate() = default;

AppDelegate::~AppDelegate() {
    if (sharedAppDelegate == this) sharedAppDelegate = nullptr;
}

bool AppDelegate::AppAdmin() { return Platform::current().machine().processIds().euid == 0; }

void AppDelegate::applicationDidFinishLaunching() {
    sharedAppDelegate = this;
    if (!AppAdmin()) return;
    addDarwinObserver(names::kQueryDaemonLoadStatus, daemonStatusQueryCallback,
                      CommandAccess::ReadOnly);
    addDarwinObserver(names::kGlobalQueryDaemonLoadStatus, daemonStatusQueryCallback,
                      CommandAccess::ReadOnly);
    batteryModule = std::make_unique<ZTBatteryNewModule>();
    ZTUtilityTool::GlobalDaemonInfo();
    monitor = std::make_shared<ZTMonitorApp>();
    monitor->startMonitoringAppWithBundleID(names::kMainAppId);
}

void daemonStatusQueryCallback(const std::string& name) {
    void (*report)() = nullptr;
    if (name == names::kQueryDaemonLoadStatus) {
        report = ZTUtilityTool::DaemonInfo;
    } else if (name == names::kGlobalQueryDaemonLoadStatus) {
        report = ZTUtilityTool::GlobalDaemonInfo;
    } else {
        return;
    }
    // A query proves the main app is alive, so the watchdog will report it once it is gone.
    if (sharedAppDelegate != nullptr && sharedAppDelegate->monitor) {
        sharedAppDelegate->monitor->setWasRunning(true);
    }
    report();
}

}  // namespace ampwarden
