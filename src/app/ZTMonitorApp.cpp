#include "app/ZTMonitorApp.h"

#include <algorithm>

#include "protocol/NotificationNames.h"

namespace ampwarden {

namespace {

// Cancels the timer in the slot and hands it to the loop to destroy, so a timer can be
// retired from inside its own callback.
void retireTimer(std::unique_ptr<Timer>& slot, RunLoop& queue) {
    if (!slot) return;
    slot->cancel();
    std::shared_ptr<Timer> retired = std::move(slot);
    queue.after(0, [retired] {});
}

}  // namespace

void scheduleDispatchTimer(std::unique_ptr<Timer>& slot, bool repeats, RunLoop& queue,
                           std::function<void()> block, double interval) {
    retireTimer(slot, queue);
    // Known once created, so a one-shot does not empty a slot that its block refilled.
    auto self = std::make_shared<const Timer*>(nullptr);
    slot = queue.repeating(interval, [&slot, repeats, block = std::move(block), self, &queue] {
        block();
        if (!repeats && slot.get() == *self) retireTimer(slot, queue);
    });
    *self = slot.get();
}

ZTMonitorApp::ZTMonitorApp(RunLoop& loop, RunningApplications& applications, Diagnostics& log,
                           CommandGate& gate, LocalNotificationCenter& center)
    : loop_(loop), applications_(applications), log_(log), gate_(gate), center_(center) {}

void ZTMonitorApp::startMonitoringAppWithBundleID(const std::string& bundleId) {
    monitoredBundleID_ = bundleId;
    wasRunning_ = false;
    checkAppStatus();
    std::weak_ptr<ZTMonitorApp> weak = weak_from_this();
    scheduleDispatchTimer(
        timer_, true, loop_,
        [weak] {
            auto self = weak.lock();
            if (!self) return;
            // The lines of every check: useful when tracing, noise in the journal every 10 s.
            self->log_.debugLog("Timer fired!");
            self->checkAppStatus();
        },
        kCheckIntervalSeconds);
}

// A check still waiting for its answer when the next one is due stands for both.
void ZTMonitorApp::checkAppStatus() {
    log_.debugLog("checkAppStatus-->");
    if (checking_) return;
    checking_ = true;
    std::weak_ptr<ZTMonitorApp> weak = weak_from_this();
    applications_.findApplication(monitoredBundleID_, [weak](const ApplicationLookup& lookup) {
        if (auto self = weak.lock()) self->onLookup(lookup);
    });
}

void ZTMonitorApp::onLookup(const ApplicationLookup& lookup) {
    using State = ApplicationLookup::State;
    if (lookup.state == State::Running) return checkOwners(lookup.owners);
    checking_ = false;
    if (lookup.state == State::Unknown) {
        logOnce("Ampwarden: cannot tell whether " + monitoredBundleID_ + " runs (" +
                lookup.failure + "); keeping the last state");
    } else {
        lastLogged_.clear();
        appMissing();
    }
}

// The app is any holder of the id, or any connection waiting for it, that may command the
// helper: the owner trusted before if it is still there, else the others in turn, each asked
// once (a unique name never passes to another process), a bounded number per check.
void ZTMonitorApp::checkOwners(const std::vector<std::string>& owners) {
    if (std::find(owners.begin(), owners.end(), trustedOwner_) != owners.end()) {
        checking_ = false;
        return appFound();
    }
    std::erase_if(refusedOwners_, [&owners](const std::string& refused) {
        return std::find(owners.begin(), owners.end(), refused) == owners.end();
    });
    std::deque<std::string> candidates;
    for (const std::string& owner : owners) {
        if (refusedOwners_.count(owner) == 0) candidates.push_back(owner);
    }
    // The rest wait for the next check; until they are asked nothing is known.
    const bool all = candidates.size() <= kMaxOwnerChecks;
    candidates.resize(std::min(candidates.size(), kMaxOwnerChecks));
    checkNextOwner(std::move(candidates), owners.empty() ? std::string() : owners.front(), all);
}

void ZTMonitorApp::checkNextOwner(std::deque<std::string> candidates, const std::string& holder,
                                  bool all) {
    if (candidates.empty()) {
        checking_ = false;
        if (!all) return;
        logOnce("Ampwarden: " + monitoredBundleID_ + " is held by " + holder + refusedUid_ +
                ", who may not command the helper; not counted as the app");
        return appMissing();
    }
    const std::string owner = candidates.front();
    candidates.pop_front();
    std::weak_ptr<ZTMonitorApp> weak = weak_from_this();
    gate_.authorizer().authorize(
        owner, CommandAction::Control, false, gate_.limits().controlCheckSeconds,
        [weak, owner, holder, all,
         candidates = std::move(candidates)](const AuthorizationResult& r) {
            if (auto self = weak.lock()) self->onOwnerChecked(owner, r, candidates, holder, all);
        });
}

void ZTMonitorApp::onOwnerChecked(const std::string& owner, const AuthorizationResult& result,
                                  std::deque<std::string> candidates, const std::string& holder,
                                  bool all) {
    if (result.outcome == AuthorizationResult::Outcome::Allowed) {
        checking_ = false;
        trustedOwner_ = owner;
        appFound();
        return;
    }
    if (result.outcome == AuthorizationResult::Outcome::Unknown) {
        checking_ = false;
        logOnce("Ampwarden: cannot tell whether the owner " + owner + " of " + monitoredBundleID_ +
                " may command the helper (" + result.reason + "); keeping the last state");
        return;
    }
    refusedOwners_.insert(owner);
    if (owner == holder) {
        const SenderCredentials& who = result.credentials;
        refusedUid_ = who.known ? " (uid " + std::to_string(who.uid) + ")" : std::string();
    }
    checkNextOwner(std::move(candidates), holder, all);
}

// Only while the app is not counted as running, one check per sender at a time, a few at
// most, and none again for a sender refused: a flood of queries is not a flood of questions
// to the authority.
void ZTMonitorApp::statusQueryFrom(const std::string& sender) {
    if (wasRunning_) return;
    if (!sender.empty() && sender == trustedOwner_) {
        wasRunning_ = true;
        return;
    }
    if (queryChecks_.size() >= kMaxQueryChecks || refusedQuerySenders_.count(sender) != 0 ||
        !queryChecks_.insert(sender).second) {
        return;
    }
    std::weak_ptr<ZTMonitorApp> weak = weak_from_this();
    gate_.authorizer().authorize(sender, CommandAction::Control, false,
                                 gate_.limits().controlCheckSeconds,
                                 [weak, sender](const AuthorizationResult& result) {
                                     if (auto self = weak.lock())
                                         self->onQuerySenderChecked(sender, result);
                                 });
}

void ZTMonitorApp::onQuerySenderChecked(const std::string& sender,
                                        const AuthorizationResult& result) {
    queryChecks_.erase(sender);
    if (result.allowed()) {
        wasRunning_ = true;
    } else if (result.outcome == AuthorizationResult::Outcome::Denied) {
        // A unique name never comes back, so forgetting them all now and then costs one more
        // check each for the connections still asking.
        if (refusedQuerySenders_.size() >= kMaxRefusedSenders) refusedQuerySenders_.clear();
        refusedQuerySenders_.insert(sender);
    }
}

void ZTMonitorApp::appFound() {
    lastLogged_.clear();
    log_.debugLog("app正在运行");
    wasRunning_ = true;
}

void ZTMonitorApp::appMissing() {
    if (wasRunning_) {
        log_.systemLog("App with Bundle ID " + monitoredBundleID_ + " has exited");
        notifyAppTerminated();
    }
    log_.debugLog("app没在运行");
    wasRunning_ = false;
}

// The same trouble every 10 s makes one line, until something else happens.
void ZTMonitorApp::logOnce(const std::string& line) {
    if (line == lastLogged_) return;
    lastLogged_ = line;
    log_.systemLog(line);
}

void ZTMonitorApp::notifyAppTerminated() {
    center_.postNotificationName(names::kMainAppIsKilled);
    log_.systemLog("应用程序已退出: " + monitoredBundleID_);
}

}  // namespace ampwarden
