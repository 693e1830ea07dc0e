#pragma once

#include <memory>
#include <string>

#include "channel/CommandGate.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/Platform.h"
#include "smc/GuardedSmcService.h"
#include "smc/SMC.h"
#include "util/ZTUtilityTool.h"

namespace ampwarden {

class ZTBatteryNewModule;
class ZTMonitorApp;

// Wires the helper up on `platform` once launching has finished, and only when it runs as
// root. It owns the command path: the SMC connection, the command gate every command passes,
// the command module and the watchdog. The platform and the center must outlive it.
class AppDelegate {
  public:
    AppDelegate(Platform& platform, LocalNotificationCenter& center);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Registers the status queries, creates the command module, reports the run state and
    // starts the watchdog on the main app, in that order. As another user: nothing at all.
    void applicationDidFinishLaunching();
    // Does nothing: ending the process leaves the SMC as it is.
    void applicationWillTerminate() {}
    bool applicationSupportsSecureRestorableState() { return true; }

    // YES exactly when the effective user id is 0.
    bool AppAdmin();

    // The Darwin callback of the two status queries, with the query's sender: notes the sender
    // for the watchdog at once and leaves the answer to the command gate.
    void daemonStatusQueryCallback(const std::string& name, const std::string& sender);

    // Set once at launch, as root; they live as long as the delegate.
    // Every SMC call of the helper passes the guard, which the connection must not outlive.
    std::unique_ptr<GuardedSmcService> smcGuard;
    std::unique_ptr<SMC> smc;
    std::unique_ptr<CommandGate> gate;
    std::unique_ptr<ZTBatteryNewModule> batteryModule;
    std::shared_ptr<ZTMonitorApp> monitor;

  private:
    Platform& platform_;
    LocalNotificationCenter& center_;
    ZTUtilityTool utility_;
};

}  // namespace ampwarden
