#include "ampwardenctl/BatteryApp.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ampwardenctl/CommandTable.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {

BatteryApp::BatteryApp(Parts parts, BatterySettings settings, Files files)
    : parts_(std::move(parts)),
      settings_(std::move(settings)),
      settingsFile_(std::move(files.settings)),
      fullOnceFile_(std::move(files.fullOnce)),
      state_(std::move(files.state)) {
    fullOnce_ = !fullOnceFile_.empty() && ::access(fullOnceFile_.c_str(), F_OK) == 0;
}

bool BatteryApp::start(const std::string& owning, std::string& error) {
    if (!parts_.sender.subscribe([this](const Answer& answer) { onAnswer(answer); }, error))
        return false;
    // The app has nothing to finish before sleep; the helper does its own.
    parts_.login.setSleepHandlers(
        [this] {
            ++sleeps_;
            asleep_ = true;
            parts_.login.sleepWorkDone();
        },
        [this] {
            asleep_ = false;
            reapply("woke up");
        });
    if (!parts_.power.start([this](const PowerReading& reading) { onReading(reading); }, error))
        return false;
    parts_.log.standardOutput(owning + "; " + describeSettings(settings_) +
                              (fullOnce_ ? "; charging to full once, as asked before" : "") +
                              "; battery from " + parts_.power.name() + "; Ctrl-C ends");
    // The helper's status answer tells the watchdog the app runs, and brings the first apply.
    askStatus();
    armAnswerWait();
    return true;
}

// The helper checks who sent "close" and refuses a sender that has already left the bus, so
// the app stays until the answer comes. Readings and wake-ups may still arrive meanwhile, but
// decide() makes no more commands, so nothing the app posts can follow its "close".
int BatteryApp::finish() {
    if (!opened_ || !parts_.sender.connected()) return 0;
    // Charging comes back now rather than after the helper's watchdog notices.
    closing_ = true;
    post(names::kCloseSMC);
    parts_.sender.drain(kCloseAnswerSeconds, [this] { return closeAnswered_; });
    if (!closeFailure_.empty()) {
        parts_.log.systemLog("posted \"close\", but " + closeFailure_);
        return 1;
    }
    parts_.log.standardOutput(closeAnswered_ ? "gave charging back (close)"
                                             : "posted \"close\"; the helper did not answer it");
    return 0;
}

void BatteryApp::onAnswer(const Answer& answer) {
    ++answersHeard_;
    if (closing_) {
        if (answer.name != names::kCloseSMCAnswer) return;
        closeAnswered_ = true;
        closeFailure_ = answerFailure(answer);
        return;
    }
    if (answer.name != names::kOpenSMCAnswer) noteFailure(answer);
    // A helper heard again after a silence may have lost what it held: everything again.
    if (helper_ == HelperState::NotAnswering && !awaitingStatus_) askStatus();
    if (answer.name == names::kGlobalDaemonLoadStatusAnswer) {
        // A helper just started: its query tells the new watchdog the app runs, and its
        // answer brings the re-apply.
        askStatus();
    } else if (answer.name == names::kDaemonLoadStatusAnswer && awaitingStatus_) {
        // Only the app's own question: anyone's `ampwardenctl status` brings this answer too.
        onStatusAnswer();
    } else if (answer.name == names::kOpenSMCAnswer) {
        onOpenAnswer(answer);
    }
}

void BatteryApp::onStatusAnswer() {
    awaitingStatus_ = false;
    helper_ = HelperState::Running;
    if (settings_.any()) {
        opened_ = true;
        openAnswered_ = false;
        post(names::kOpenSMC);
        armAnswerWait();
    } else {
        ++answerWait_;  // an idle app waits for nothing
    }
    reapply("the helper is running");
}

void BatteryApp::onOpenAnswer(const Answer& answer) {
    openAnswered_ = true;
    ++answerWait_;
    const bool open = answerFailure(answer).empty();
    helper_ = open ? HelperState::SmcOpen : HelperState::SmcNotOpen;
    if (open) {
        troubleOver(Trouble::Helper);
    } else {
        parts_.log.standardOutput(
            "the helper cannot reach the SMC on this machine: run 'ampwarden-smc probe' to see "
            "why");
        trouble(Trouble::Helper, "The battery cannot be held",
                "The helper cannot reach the SMC on this machine; run 'ampwarden-smc probe' to "
                "see why.");
    }
    writeState();
}

// A command the helper could not carry out leaves the hold unknown, so the next reading sends
// every command again; the same trouble is told once, until something else happens.
void BatteryApp::noteFailure(const Answer& answer) {
    const std::string failure = answerFailure(answer);
    if (failure.empty()) {
        if (answer.name == names::kSetDisableChargingAnswer) {
            lastFailure_.clear();
            troubleOver(Trouble::Write);
        }
        return;
    }
    hold_ = Hold::Unknown;
    reason_ = failure;
    if (failure != lastFailure_) {
        parts_.log.systemLog(failure + "; trying again on the next battery reading");
    }
    trouble(Trouble::Write, "A battery setting did not take effect",
            failure + "; trying again on the next battery reading.");
    lastFailure_ = failure;
    const bool chargeKeyRefused = answer.name == names::kSetDisableChargingAnswer &&
                                  failure.find("CH0B") != std::string::npos;
    if (chargeKeyRefused && settings_.keepLow && !toldLimitOnly_) {
        toldLimitOnly_ = true;
        const std::string keep =
            std::to_string(*settings_.keepLow) + "-" + std::to_string(*settings_.keepHigh);
        parts_.log.systemLog(
            "this machine does not let charging be stopped on command (a kernel that offers "
            "only the charge limit, without charge_behaviour, is the usual reason): 'keep = " +
            keep +
            "' can only work through the charge limit, which stops charging at 80 % whatever "
            "LOW and HIGH say; set 'limit = on' for that");
    }
    writeState();
}

void BatteryApp::onReading(const PowerReading& reading) {
    parts_.log.standardOutput("battery " + levelText(reading) + ", " + mainsText(reading));
    if (!reading.level) {
        const std::string why = std::string("no battery found by ") + parts_.power.name() +
                                ": charging stays allowed until one reports its level";
        parts_.log.systemLog(why);
        trouble(Trouble::Battery, "No battery found", why + ".");
    } else {
        troubleOver(Trouble::Battery);
    }
    const bool backToSettings = fullOnce_ && fullOnceOver(reading);
    mainsBefore_ = reading.mains;
    if (backToSettings) {
        setFullOnce(false);
        parts_.log.standardOutput(
            std::string(reading.mains == false ? "unplugged" : "charged to full") +
            " once: back to " + describeSettings(settings_));
    }
    // Leaving the full charge, the charge limit it lifted is set again.
    if (helper_ != HelperState::NotHeardFrom) decide(backToSettings);
    writeState();
}

BatteryApp::FullOnce BatteryApp::chargeToFullOnce() {
    const PowerReading& reading = parts_.power.last();
    if (!settings_.holdsLevel() && settings_.limit != true) {
        parts_.log.standardOutput("charge to full once: nothing set holds the charge back");
        return FullOnce::NothingHeld;
    }
    if (fullOnceOver(reading)) {
        parts_.log.standardOutput("charge to full once: the battery is full already");
        return FullOnce::AlreadyFull;
    }
    setFullOnce(true);
    parts_.log.standardOutput("charging to full once, then back to " + describeSettings(settings_));
    // Everything is said again: lifting the charge limit is not a step decideHold() takes.
    if (helper_ != HelperState::NotHeardFrom) decide(true);
    writeState();
    return FullOnce::Started;
}

// Noted in a file of its own: an app started again (a crash, a new login) charges on to full.
void BatteryApp::setFullOnce(bool on) {
    fullOnce_ = on;
    if (fullOnceFile_.empty()) return;
    if (!on) {
        ::unlink(fullOnceFile_.c_str());
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(fullOnceFile_).parent_path(), error);
    if (error || !std::ofstream(fullOnceFile_)) {
        parts_.log.systemLog(fullOnceFile_ +
                             ": cannot note the charge to full once; it ends "
                             "with this app");
    }
}

std::optional<BatteryApp::Refusal> BatteryApp::change(const std::vector<SettingChange>& changes) {
    BatterySettings next = settings_;
    for (const auto& one : changes) {
        std::string problem = applyChange(next, one);
        if (!problem.empty()) return Refusal{true, problem};
    }
    // Kept first: a change the file would lose on the next start is not made.
    if (!settingsFile_.empty()) {
        std::string problem = changeSettingsFile(settingsFile_, changes);
        if (!problem.empty()) {
            parts_.log.systemLog("settings not changed: " + problem);
            return Refusal{false, problem};
        }
    }
    const BatterySettings before = settings_;
    settings_ = next;
    parts_.log.standardOutput("settings changed: " + describeSettings(settings_));
    applyChangedSettings(before);
    writeState();
    return std::nullopt;
}

void BatteryApp::applyChangedSettings(const BatterySettings& before) {
    if (helper_ == HelperState::NotHeardFrom) return;  // the first status answer applies them
    if (!opened_ && settings_.any()) {
        opened_ = true;
        openAnswered_ = false;
        post(names::kOpenSMC);
        armAnswerWait();
    }
    // With no level to hold any more, what the old one held is given back: the new settings
    // alone would leave charging as it is.
    if (before.holdsLevel() && !heldSettings().holdsLevel() && hold_ != Hold::Released) {
        if (hold_ != Hold::Stopped) post(names::kSetDisableDischarging);
        post(names::kSetEnableCharging);
        hold_ = Hold::Released;
    }
    decide(true);
}

std::string BatteryApp::holding() const {
    if (hold_ == Hold::Released) return heldSettings().holdsLevel() ? "charging" : "nothing";
    return holdName(hold_);
}

// Full, or unplugged after being on mains; a reading that cannot tell ends nothing.
bool BatteryApp::fullOnceOver(const PowerReading& reading) const {
    return (reading.level && *reading.level >= 100) || reading.state == "full" ||
           (mainsBefore_ == true && reading.mains == false);
}

// While charging to full, a range whose top is 100 % and no charge limit stand for the
// settings: that releases charging from whatever they held, and stops it at 100 %.
BatterySettings BatteryApp::heldSettings() const {
    if (!fullOnce_) return settings_;
    BatterySettings full = settings_;
    full.keepLow = 99;
    full.keepHigh = 100;
    full.dischargeTo.reset();
    if (full.limit) full.limit = false;
    return full;
}

void BatteryApp::askStatus() {
    awaitingStatus_ = true;
    post(names::kQueryDaemonLoadStatus);
}

void BatteryApp::reapply(const char* why) {
    if (helper_ == HelperState::NotHeardFrom) return;  // the first status answer applies them
    parts_.log.standardOutput(std::string("re-applying the settings: ") + why);
    decide(true);
}

void BatteryApp::decide(bool resend) {
    if (closing_) return;  // "close" is the app's last word
    KeepDecision decision = decideHold(parts_.power.last(), heldSettings(), hold_, resend);
    if (fullOnce_) decision.reason = "charging to full once, then back to the settings";
    for (const auto& command : decision.commands) post(command);
    if (!decision.commands.empty()) expectAnswer();
    if (decision.next != hold_ || !decision.commands.empty()) {
        parts_.log.standardOutput(std::string(holdName(decision.next)) + ": " + decision.reason);
    }
    if (decision.next != hold_ && settings_.notifyHolds) {
        parts_.notifier.notify("hold", std::string("Battery: ") + holdName(decision.next),
                               decision.reason);
    }
    hold_ = decision.next;
    reason_ = decision.reason;
    writeState();
}

void BatteryApp::post(const std::string& command) {
    std::string error;
    if (!parts_.sender.postCommand(command, error)) parts_.log.systemLog(error);
}

// The run loop's timers cannot be cancelled: a wait that ends after a newer one began, or
// after its answer came, finds its number stale and says nothing.
void BatteryApp::armAnswerWait() {
    const unsigned wait = ++answerWait_;
    parts_.loop.after(kAnswerWaitSeconds, [this, wait] {
        if (wait == answerWait_) onAnswerWaitOver();
    });
}

void BatteryApp::onAnswerWaitOver() {
    if (helper_ == HelperState::NotHeardFrom) {
        const std::string why = parts_.explainSilence(false);
        parts_.log.systemLog("the helper does not answer: " + why +
                             "; the settings are applied once it does");
        trouble(Trouble::Helper, "The battery helper does not answer",
                "The battery is not held until it does: " + why + ".");
    } else if (opened_ && !openAnswered_) {
        helperWentQuiet("the helper did not answer \"open\"",
                        "The battery helper does not take the app's commands",
                        "It did not answer \"open\": ");
    }
}

// Its next answer has the app ask how it is and apply everything again.
void BatteryApp::helperWentQuiet(const std::string& logLead, const char* summary,
                                 const std::string& bodyLead) {
    helper_ = HelperState::NotAnswering;
    const std::string why = parts_.explainSilence(true);
    parts_.log.systemLog(logLead + ": " + why);
    trouble(Trouble::Helper, summary, bodyLead + why + ".");
    writeState();
}

// Every command the app posts brings an answer from a running helper, except a discharge
// command while the machine goes to sleep: silence after the app's commands, posted awake and
// with no sleep meanwhile, is a helper that stopped answering.
void BatteryApp::expectAnswer() {
    if (asleep_) return;
    const unsigned heard = answersHeard_;
    const unsigned sleeps = sleeps_;
    parts_.loop.after(kAnswerWaitSeconds, [this, heard, sleeps] {
        if (answersHeard_ != heard || sleeps_ != sleeps || closing_) return;
        if (helper_ == HelperState::NotHeardFrom || helper_ == HelperState::NotAnswering) return;
        helperWentQuiet("the helper stopped answering", "The battery helper does not answer",
                        "The battery is not held until it does: ");
    });
}

// Told once until it changes or ends; the log has every occurrence.
void BatteryApp::trouble(Trouble trouble, const std::string& summary, const std::string& body) {
    auto [told, fresh] = told_.try_emplace(trouble, body);
    if (!fresh && told->second == body) return;
    told->second = body;
    static const char* const kTopics[] = {"helper", "write", "battery"};  // by Trouble
    if (settings_.notify) parts_.notifier.notify(kTopics[static_cast<int>(trouble)], summary, body);
}

void BatteryApp::writeState() {
    const std::string settings =
        describeSettings(settings_) + (fullOnce_ ? "; charging to full once" : "");
    state_.write({static_cast<long>(::getpid()), settings, parts_.power.name(), parts_.power.last(),
                  helperStateName(helper_), holdName(hold_), reason_});
    if (listener_) listener_();
}

}  // namespace ampwarden::ctl
