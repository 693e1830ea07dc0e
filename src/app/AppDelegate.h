#pragma once

#include <memory>
#include <string>

namespace ampwarden {

class ZTBatteryNewModule;
class ZTMonitorApp;

// Wires the helper up once launching has finished, and only when it runs as root.
class AppDelegate {
  public:
    AppDelegate();
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

    // Set once at launch, as root; they live as long as the delegate.
    std::unique_ptr<ZTBatteryNewModule> batteryModule;
    std::shared_ptr<ZTMonitorApp> monitor;
};

// The one delegate, for callbacks that have no context of their own. Set at launch; the
// delegate clears it when destroyed (only tests destroy it).
extern AppDelegate* sharedAppDelegate;

// The Darwin callback of the two status queries.
void daemonStatusQueryCallback(const std::string& name);

}  // namespace ampwarden
