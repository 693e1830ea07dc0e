#include "app/AppDelegate.h"

#include "channel/NotificationNames.h"
#include "channel/Notifications.h"
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
    addDarwinObserver(names::kQueryDaemonLoadStatus, daemonStatusQueryCallback);
    addDarwinObserver(names::kGlobalQueryDaemonLoadStatus, daemonStatusQueryCallback);
    // Command module seam: the command module is created here.
    ZTUtilityTool::GlobalDaemonInfo();
    // Watchdog seam: the watchdog on the main app starts here.
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
    // Watchdog seam: a query proves the main app is alive, so the watchdog is told first.
    report();
}

}  // namespace ampwarden
