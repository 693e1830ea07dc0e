#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "channel/CommandAuthorizer.h"
#include "channel/CommandGate.h"
#include "platform/Diagnostics.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/RunningApplications.h"

namespace ampwarden {

// Watches the running applications for one application id every 10 s and, when an
// application it has seen running is gone, posts "mainAppIsKilled" on its local center.
// The id counts as running only while one of its owners, or of the connections waiting for
// it, may command the helper: anyone may claim the name first, and someone else's claim or
// release must neither reset the charging nor hide the app waiting behind it. A lookup or a
// check that fails says nothing, so the state stays as it was. Whether an owner may command
// the helper is asked through `gate`'s authorizer, with its bound. Runs on `loop`; the lookups
// are asynchronous. Owned through a std::shared_ptr, which its timer and lookups hold weakly.
// The roles, the gate and the center must outlive it.
class ZTMonitorApp : public std::enable_shared_from_this<ZTMonitorApp> {
  public:
    static constexpr double kCheckIntervalSeconds = 10.0;

    ZTMonitorApp(RunLoop& loop, RunningApplications& applications, Diagnostics& log,
                 CommandGate& gate, LocalNotificationCenter& center);

    // Checks once at once, then on every tick of its timer. Called once.
    void startMonitoringAppWithBundleID(const std::string& bundleId);
    void checkAppStatus();
    void notifyAppTerminated();

    bool wasRunning() const { return wasRunning_; }
    void setWasRunning(bool wasRunning) { wasRunning_ = wasRunning; }
    // A status query from `sender` counts as the app seen running only when the sender may
    // command the helper (the trusted owner of the name is known to): anyone may ask, and
    // anyone's question would otherwise let the next check reset root's settings. Asked through
    // the gate's authorizer, like an owner; a sender that cannot be told apart does not count.
    void statusQueryFrom(const std::string& sender);
    const std::string& monitoredBundleID() const { return monitoredBundleID_; }

  private:
    void onLookup(const ApplicationLookup& lookup);
    void checkOwners(const std::vector<std::string>& owners);
    // `all`: the candidates are every owner not refused yet.
    void checkNextOwner(std::deque<std::string> candidates, const std::string& holder, bool all);
    void onOwnerChecked(const std::string& owner, const AuthorizationResult& result,
                        std::deque<std::string> candidates, const std::string& holder, bool all);
    void onQuerySenderChecked(const std::string& sender, const AuthorizationResult& result);
    void appFound();
    void appMissing();
    void logOnce(const std::string& line);

    RunLoop& loop_;
    RunningApplications& applications_;
    Diagnostics& log_;
    CommandGate& gate_;
    LocalNotificationCenter& center_;
    std::string monitoredBundleID_;
    bool wasRunning_ = false;
    bool checking_ = false;
    // The owner last found authorised; its unique name never passes to another process.
    std::string trustedOwner_;
    // Holders and waiters refused, while they still hold or wait; the holder's uid for the log.
    static constexpr std::size_t kMaxOwnerChecks = 32;
    std::set<std::string> refusedOwners_;
    std::string refusedUid_;
    std::string lastLogged_;
    static constexpr std::size_t kMaxQueryChecks = 8;
    static constexpr std::size_t kMaxRefusedSenders = 1024;
    std::set<std::string> queryChecks_;
    std::set<std::string> refusedQuerySenders_;
    std::unique_ptr<Timer> timer_;
};

// Replaces the timer in `slot` with one that runs `block` on `queue` every `interval` seconds,
// first at now + interval; without `repeats` it runs once and empties the slot. The slot must
// outlive its timer.
void scheduleDispatchTimer(std::unique_ptr<Timer>& slot, bool repeats, RunLoop& queue,
                           std::function<void()> block, double interval);

}  // namespace ampwarden
