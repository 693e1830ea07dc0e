#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <string>

#include "ampwardenctl/Answer.h"
#include "ampwardenctl/BatterySettings.h"
#include "ampwardenctl/ClientBus.h"
#include "ampwardenctl/KeepDecision.h"
#include "ampwardenctl/PowerMonitor.h"

namespace ampwarden::ctl {

// The battery app: owns "lumora.Battery", keeps the battery where the settings say by posting
// the helper's commands, re-applies them after a wake-up and after the helper restarts, and
// gives charging back ("close") when it ends. Runs on the bus's loop until a signal.
class BatteryApp {
  public:
    BatteryApp(ClientBus& bus, BatterySettings settings, std::string stateFile);
    ~BatteryApp();
    BatteryApp(const BatteryApp&) = delete;
    BatteryApp& operator=(const BatteryApp&) = delete;

    // Returns the exit status: 0 after a signal, 1 when the bus or the loop failed.
    int run(std::optional<double> timeoutSeconds);

    // Where the running app writes what it holds, for `ampwardenctl status`:
    // $XDG_RUNTIME_DIR/lumora/battery-app.state; empty without XDG_RUNTIME_DIR.
    static std::string stateFilePath();

    // How long the app waits on its way out for the helper to answer its "close".
    static constexpr double kCloseAnswerSeconds = 2.0;

  private:
    void onAnswer(const Answer& answer);
    void noteFailure(const Answer& answer);
    void onReading(const PowerReading& reading);
    void reapply(const char* why);
    void decide(bool resend = false);
    void post(const std::string& command);
    void askStatus();
    void writeState();
    void say(const std::string& line);
    bool watchSleep(std::string& error);
    bool watchExit(std::string& error);
    // Waits, at most kCloseAnswerSeconds, for the helper to answer "close".
    void awaitCloseAnswer();
    bool armAnswerTimer();
    void disarmAnswerTimer();

    static int onPrepareForSleep(sd_bus_message* message, void* self, sd_bus_error* error);
    static int onExit(sd_event_source* source, void* self);
    static int onAnswerTimeout(sd_event_source* source, std::uint64_t usec, void* self);

    ClientBus& bus_;
    BatterySettings settings_;
    std::string stateFile_;
    PowerMonitor power_;
    Hold hold_ = Hold::Unknown;
    std::string reason_ = "waiting for the helper";
    std::string helperState_ = "not heard from";
    bool opened_ = false;
    bool openAnswered_ = false;
    bool awaitingStatus_ = false;  // the app asked for the helper's status itself
    bool closing_ = false;  // "close" posted on the way out: no more commands, one answer awaited
    bool closeAnswered_ = false;
    std::string closeFailure_;  // what the answer to the last "close" says did not happen
    std::string lastFailure_;   // the last failure told
    bool toldLimitOnly_ = false;
    sd_bus_slot* sleepSlot_ = nullptr;
    sd_event_source* answerTimer_ = nullptr;
    sd_event_source* exitSource_ = nullptr;
};

}  // namespace ampwarden::ctl
