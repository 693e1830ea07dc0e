#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/RunLoop.h"

namespace ampwarden {

// Watches the running applications for one application id every 10 s and, when an
// application it has seen running is gone, posts "mainAppIsKilled" on the local center.
// Runs on the main loop. Owned through a std::shared_ptr: the timer keeps it alive.
class ZTMonitorApp : public std::enable_shared_from_this<ZTMonitorApp> {
  public:
    static constexpr double kCheckIntervalSeconds = 10.0;

    // Checks once at once, then on every tick of the process's one timer. Called once.
    void startMonitoringAppWithBundleID(const std::string& bundleId);
    void checkAppStatus();
    void notifyAppTerminated();

    bool wasRunning() const { return wasRunning_; }
    // Also set by a status query, which proves the main app is alive.
    void setWasRunning(bool wasRunning) { wasRunning_ = wasRunning; }
    const std::string& monitoredBundleID() const { return monitoredBundleID_; }

  private:
    std::string monitoredBundleID_;
    bool wasRunning_ = false;
};

// The process's one repeating-timer slot. The helper never empties it while it runs; tests
// reset it.
extern std::unique_ptr<Timer> monitorTimer;

// Replaces the timer in monitorTimer with one that runs `block` on `queue` every `interval`
// seconds, first at now + interval; without `repeats` it runs once and empties the slot.
void scheduleDispatchTimer(bool repeats, RunLoop& queue, std::function<void()> block,
                           double interval);

}  // namespace ampwarden
