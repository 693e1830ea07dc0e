#pragma once

#include "platform/Diagnostics.h"
#include "platform/MachineFacts.h"
#include "platform/NotificationChannel.h"
#include "platform/ProcessRunner.h"
#include "platform/RunLoop.h"
#include "util/ZTShellExcuteManager.h"

namespace ampwarden {

// The helper's maintenance operations: run-state reports, self-uninstall and restart. Holds
// nothing of its own; the roles it is given must outlive it. All run on the main loop.
class ZTUtilityTool {
  public:
    ZTUtilityTool(MachineFacts& machine, NotificationChannel& channel, RunLoop& loop,
                  Diagnostics& log, ProcessRunner& processes);

    // The status report, answered as "PostTo_BatteryAppManager_DeamonLoadStatus".
    void DaemonInfo();
    // The same report, answered as "PostTo_BatteryAppManager_GlobalDeamonLoadStatusCallback".
    void GlobalDaemonInfo();
    // Removes the installation (not the running process) and answers the main app first.
    // Blocks the loop while the shell commands run.
    void uninstallDaemonHelper();
    // Announces a restart, flushes the answer out and ends the main loop with status 0.
    void reboot();

  private:
    void postStatusReport(const char* answerName);
    NotificationDictionary statusDictionary(const ProcessIds& ids);
    void log(const std::string& line) { log_.systemLog(line); }

    MachineFacts& machine_;
    NotificationChannel& channel_;
    RunLoop& loop_;
    Diagnostics& log_;
    ZTShellExcuteManager shell_;
};

}  // namespace ampwarden
