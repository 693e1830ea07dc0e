#pragma once

#include "channel/Notifications.h"

namespace ampwarden {

// The helper's maintenance operations: run-state reports, self-uninstall and restart.
// All run on the main loop.
class ZTUtilityTool {
  public:
    // The status report, answered as "PostTo_BatteryAppManager_DeamonLoadStatus".
    static void DaemonInfo();
    // The same report, answered as "PostTo_BatteryAppManager_GlobalDeamonLoadStatusCallback".
    static void GlobalDaemonInfo();
    // Removes the installation (not the running process) and answers the main app first.
    // Blocks the loop while the shell commands run.
    static void uninstallDaemonHelper();
    // Announces a restart, flushes the answer out and ends the main loop with status 0.
    static void reboot();
};

}  // namespace ampwarden
