#include "ampwardenctl/BatteryApp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "ampwardenctl/CommandTable.h"
#include "ampwardenctl/HelperDiagnosis.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

// How long a command may go unanswered before the user is told why that may be.
constexpr std::uint64_t kAnswerWaitUsec = 5ULL * 1000 * 1000;

std::string levelText(const PowerReading& reading) {
    return reading.level ? std::to_string(*reading.level) + " %" : "unknown";
}

std::string mainsText(const PowerReading& reading) {
    return reading.mains ? (*reading.mains ? "on mains" : "on battery") : "mains unknown";
}

}  // namespace

BatteryApp::BatteryApp(ClientBus& bus, BatterySettings settings, std::string stateFile)
    : bus_(bus),
      settings_(std::move(settings)),
      stateFile_(std::move(stateFile)),
      power_(bus.bus(), bus.event()) {}

BatteryApp::~BatteryApp() {
    sd_bus_slot_unref(sleepSlot_);
    sd_event_source_unref(answerTimer_);
    sd_event_source_unref(exitSource_);
    if (!stateFile_.empty()) ::unlink(stateFile_.c_str());
}

std::string BatteryApp::stateFilePath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/') return "";
    return std::string(runtime) + "/lumora/battery-app.state";
}

int BatteryApp::run(std::optional<double> timeoutSeconds) {
    std::string error;
    auto answered = [this](const Answer& answer) {
        try {
            onAnswer(answer);
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "ampwardenctl: failed on an answer: %s\n", failure.what());
        }
    };
    if (!bus_.subscribe(answered, error) || !bus_.claimName(names::kMainAppId, error) ||
        !watchSleep(error) || !watchExit(error) ||
        !power_.start([this](const PowerReading& reading) { onReading(reading); }, error)) {
        std::fprintf(stderr, "ampwardenctl: %s\n", error.c_str());
        return 1;
    }
    say(std::string("owning \"") + names::kMainAppId + "\"; " + describeSettings(settings_) +
        "; battery from " + power_.source() + "; Ctrl-C ends");
    // The helper's status answer tells the watchdog the app runs, and brings the first apply.
    askStatus();
    armAnswerTimer();
    RunResult result = bus_.run(timeoutSeconds);
    if (result == RunResult::Disconnected || result == RunResult::Failed) {
        std::fprintf(stderr, "ampwardenctl: %s\n",
                     result == RunResult::Disconnected ? "lost the bus connection"
                                                       : "the event loop failed");
        return 1;
    }
    return closeFailure_.empty() ? 0 : 1;
}

bool BatteryApp::watchExit(std::string& error) {
    // Runs before the bus's own exit handler, which closes the connection.
    int r = sd_event_add_exit(bus_.event(), &exitSource_, onExit, this);
    if (r >= 0) r = sd_event_source_set_priority(exitSource_, SD_EVENT_PRIORITY_IMPORTANT);
    if (r < 0) error = "cannot prepare the exit";
    return r >= 0;
}

int BatteryApp::onExit(sd_event_source*, void* self) {
    auto* app = static_cast<BatteryApp*>(self);
    if (app->opened_ && sd_bus_is_open(app->bus_.bus()) > 0) {
        // Charging comes back now rather than after the helper's watchdog notices.
        try {
            app->closing_ = true;
            app->post(names::kCloseSMC);
            app->awaitCloseAnswer();
            if (!app->closeFailure_.empty()) {
                std::fprintf(stderr, "ampwardenctl: posted \"close\", but %s\n",
                             app->closeFailure_.c_str());
            } else {
                app->say(app->closeAnswered_ ? "gave charging back (close)"
                                             : "posted \"close\"; the helper did not answer it");
            }
        } catch (...) {
            std::fputs("ampwardenctl: failed to post \"close\"\n", stderr);
        }
    }
    return 0;
}

// The helper checks who sent "close" and refuses a sender that has already left the bus, so
// the app stays until the answer comes. The event loop has ended by now: the bus is driven by
// hand. Battery readings and wake-ups still arrive on it, but decide() makes no more commands,
// so nothing the app posts can follow its "close".
void BatteryApp::awaitCloseAnswer() {
    sd_bus* bus = bus_.bus();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kCloseAnswerSeconds);
    while (!closeAnswered_) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) return;
        if (r == 0 && sd_bus_wait(bus, static_cast<std::uint64_t>(left.count())) < 0) return;
    }
}

bool BatteryApp::watchSleep(std::string& error) {
    int r = sd_bus_match_signal(bus_.bus(), &sleepSlot_, "org.freedesktop.login1",
                                "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                "PrepareForSleep", onPrepareForSleep, this);
    if (r < 0) error = "cannot watch for sleep and wake-up";
    return r >= 0;
}

void BatteryApp::onAnswer(const Answer& answer) {
    if (closing_) {
        if (answer.name != names::kCloseSMCAnswer) return;
        closeAnswered_ = true;
        closeFailure_ = answerFailure(answer);
        return;
    }
    if (answer.name != names::kOpenSMCAnswer) noteFailure(answer);
    if (answer.name == names::kGlobalDaemonLoadStatusAnswer) {
        // A helper just started: its query tells the new watchdog the app runs, and its
        // answer brings the re-apply.
        askStatus();
    } else if (answer.name == names::kDaemonLoadStatusAnswer && awaitingStatus_) {
        // Only the app's own question: anyone's `ampwardenctl status` brings this answer too.
        awaitingStatus_ = false;
        helperState_ = "running";
        if (settings_.any()) {
            opened_ = true;
            openAnswered_ = false;
            post(names::kOpenSMC);
            armAnswerTimer();
        } else {
            disarmAnswerTimer();
        }
        reapply("the helper is running");
    } else if (answer.name == names::kOpenSMCAnswer) {
        openAnswered_ = true;
        disarmAnswerTimer();
        bool open = !answer.values.empty() &&
                    std::get_if<std::string>(&answer.values[0].second.value) &&
                    std::get<std::string>(answer.values[0].second.value) == names::kOpen;
        helperState_ = open ? "running, SMC open" : "running, SMC not open";
        if (!open) {
            say("the helper cannot reach the SMC on this machine: run 'ampwarden-smc probe' to "
                "see why");
        }
        writeState();
    }
}

// A command the helper could not carry out leaves the hold unknown, so the next reading sends
// every command again; the same trouble is told once, until something else happens.
void BatteryApp::noteFailure(const Answer& answer) {
    const std::string failure = answerFailure(answer);
    if (failure.empty()) {
        if (answer.name == names::kSetDisableChargingAnswer) lastFailure_.clear();
        return;
    }
    hold_ = Hold::Unknown;
    reason_ = failure;
    if (failure != lastFailure_) {
        std::fprintf(stderr, "ampwardenctl: %s; trying again on the next battery reading\n",
                     failure.c_str());
    }
    lastFailure_ = failure;
    const bool chargeKeyRefused = answer.name == names::kSetDisableChargingAnswer &&
                                  failure.find("CH0B") != std::string::npos;
    if (chargeKeyRefused && settings_.keepLow && !toldLimitOnly_) {
        toldLimitOnly_ = true;
        std::fprintf(stderr,
                     "ampwardenctl: this machine does not let charging be stopped on command (a "
                     "kernel that offers only the charge limit, without charge_behaviour, is the "
                     "usual reason): 'keep = %d-%d' can only work through the charge limit, "
                     "which stops charging at 80 %% whatever LOW and HIGH say; set 'limit = on' "
                     "for that\n",
                     *settings_.keepLow, *settings_.keepHigh);
    }
    writeState();
}

void BatteryApp::onReading(const PowerReading& reading) {
    say("battery " + levelText(reading) + ", " + mainsText(reading));
    if (!reading.level) {
        std::fprintf(stderr,
                     "ampwardenctl: no battery found by %s: charging stays allowed until one "
                     "reports its level\n",
                     power_.source());
    }
    if (helperState_ != "not heard from") decide();
    writeState();
}

void BatteryApp::askStatus() {
    awaitingStatus_ = true;
    post(names::kQueryDaemonLoadStatus);
}

void BatteryApp::reapply(const char* why) {
    if (helperState_ == "not heard from") return;  // the first status answer applies them
    say(std::string("re-applying the settings: ") + why);
    decide(true);
}

void BatteryApp::decide(bool resend) {
    if (closing_) return;  // "close" is the app's last word
    KeepDecision decision = decideHold(power_.last(), settings_, hold_, resend);
    for (const auto& command : decision.commands) post(command);
    if (decision.next != hold_ || !decision.commands.empty()) {
        say(std::string(holdName(decision.next)) + ": " + decision.reason);
    }
    hold_ = decision.next;
    reason_ = decision.reason;
    writeState();
}

void BatteryApp::post(const std::string& command) {
    std::string error;
    if (!bus_.postCommand(command, error))
        std::fprintf(stderr, "ampwardenctl: %s\n", error.c_str());
}

void BatteryApp::say(const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

// An idle app has no timer at all: the wait for an answer ends with the answer.
void BatteryApp::disarmAnswerTimer() {
    sd_event_source_unref(answerTimer_);
    answerTimer_ = nullptr;
}

bool BatteryApp::armAnswerTimer() {
    disarmAnswerTimer();
    return sd_event_add_time_relative(bus_.event(), &answerTimer_, CLOCK_MONOTONIC, kAnswerWaitUsec,
                                      0, onAnswerTimeout, this) >= 0;
}

void BatteryApp::writeState() {
    if (stateFile_.empty()) return;
    std::string dir = stateFile_.substr(0, stateFile_.rfind('/'));
    ::mkdir(dir.c_str(), 0700);
    std::string temporary = stateFile_ + ".new";
    {
        std::ofstream file(temporary, std::ios::trunc);
        const PowerReading& reading = power_.last();
        file << "pid=" << ::getpid() << "\nsettings=" << describeSettings(settings_)
             << "\nsource=" << power_.source() << "\nlevel=" << levelText(reading)
             << "\nmains=" << mainsText(reading) << "\nstate=" << reading.state
             << "\nhelper=" << helperState_ << "\nholding=" << holdName(hold_)
             << "\nwhy=" << reason_ << "\n";
    }
    // Renamed into place: status never reads a half-written file.
    std::rename(temporary.c_str(), stateFile_.c_str());
}

int BatteryApp::onPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error*) {
    int sleeping = 0;
    if (sd_bus_message_read_basic(message, 'b', &sleeping) < 0) return 0;
    auto* app = static_cast<BatteryApp*>(self);
    try {
        if (!sleeping) app->reapply("woke up");
    } catch (...) {
        std::fputs("ampwardenctl: failed to re-apply after a wake-up\n", stderr);
    }
    return 0;
}

int BatteryApp::onAnswerTimeout(sd_event_source*, std::uint64_t, void* self) {
    auto* app = static_cast<BatteryApp*>(self);
    if (app->helperState_ == "not heard from") {
        const std::string why =
            HelperDiagnosis::explain(HelperDiagnosis::gather(), false, ::geteuid() == 0);
        std::fprintf(stderr,
                     "ampwardenctl: the helper does not answer: %s; the settings are applied "
                     "once it does\n",
                     why.c_str());
    } else if (app->opened_ && !app->openAnswered_) {
        app->helperState_ = "not answering";
        const std::string why =
            HelperDiagnosis::explain(HelperDiagnosis::gather(), true, ::geteuid() == 0);
        std::fprintf(stderr, "ampwardenctl: the helper did not answer \"open\": %s\n", why.c_str());
        try {
            app->writeState();
        } catch (...) {
            std::fputs("ampwardenctl: failed to publish the app's state\n", stderr);
        }
    }
    return 0;
}

}  // namespace ampwarden::ctl
