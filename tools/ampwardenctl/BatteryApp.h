#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ampwardenctl/Answer.h"
#include "ampwardenctl/AppStateFile.h"
#include "ampwardenctl/BatterySettings.h"
#include "ampwardenctl/CommandSender.h"
#include "ampwardenctl/HelperState.h"
#include "ampwardenctl/KeepDecision.h"
#include "ampwardenctl/Notifier.h"
#include "ampwardenctl/PowerSource.h"
#include "platform/Diagnostics.h"
#include "platform/LoginManager.h"
#include "platform/RunLoop.h"

namespace ampwarden::ctl {

// The battery app: keeps the battery where the settings say by posting the helper's commands,
// re-applies them after a wake-up and after the helper restarts, and gives charging back
// ("close") when it ends. Everything runs on `loop`. What it says goes to the log's standard
// output, its troubles to the log's system log (standard error for a person).
class BatteryApp {
  public:
    struct Parts {
        RunLoop& loop;
        LoginManager& login;
        PowerSource& power;
        CommandSender& sender;
        Diagnostics& log;
        Notifier& notifier;
        // Why the helper may be silent, for a command that needs authorisation or not.
        std::function<std::string(bool needsAuthorisation)> explainSilence;
    };

    // How long a command may go unanswered before the user is told why that may be.
    static constexpr double kAnswerWaitSeconds = 5.0;
    // How long the app waits on its way out for the helper to answer its "close".
    static constexpr double kCloseAnswerSeconds = 2.0;

    // Where the settings came from and are kept when changed, where the app publishes its
    // state for `ampwardenctl status`, and where it notes a charge to full once, so that an
    // app started again goes on with it. Empty: nowhere.
    struct Files {
        std::string settings;
        std::string state;
        std::string fullOnce = {};
    };

    // What came of asking for a charge to full once.
    enum class FullOnce { Started, NothingHeld, AlreadyFull };

    BatteryApp(Parts parts, BatterySettings settings, Files files);
    BatteryApp(const BatteryApp&) = delete;
    BatteryApp& operator=(const BatteryApp&) = delete;

    // Subscribes, starts watching the battery and sleep, and asks the helper how it is.
    bool start(const std::string& owning, std::string& error);
    // The way out, once the loop has ended: "close" if the app opened the SMC, and its answer
    // awaited. Returns the exit status: 1 when the close did not give charging back.
    int finish();

    // Charges to 100 % once, whatever the settings (a charge limit they set included), then
    // goes back to them when the battery is full or mains is unplugged. A helper restart or a
    // wake-up meanwhile changes nothing. Nothing to do when nothing holds the charge back.
    FullOnce chargeToFullOnce();

    // Why a change of the settings was not made.
    struct Refusal {
        bool badValue;  // else the settings file could not keep it
        std::string why;
    };

    // Changes the settings at once and keeps the change in the settings file; nothing changes
    // when either cannot be done.
    std::optional<Refusal> change(const std::vector<SettingChange>& changes);

    // Called after anything the app knows or holds may have changed.
    void onChange(std::function<void()> listener) { listener_ = std::move(listener); }

    HelperState helper() const { return helper_; }
    Hold hold() const { return hold_; }
    // What the app holds, for people and the desktop: "charging", "charging stopped",
    // "discharging", "nothing" (no level to hold) or "unknown".
    std::string holding() const;
    const std::string& reason() const { return reason_; }
    const BatterySettings& settings() const { return settings_; }
    const PowerReading& battery() const { return parts_.power.last(); }
    bool chargingToFull() const { return fullOnce_; }

  private:
    void onAnswer(const Answer& answer);
    void onStatusAnswer();
    void onOpenAnswer(const Answer& answer);
    void noteFailure(const Answer& answer);
    void onReading(const PowerReading& reading);
    void reapply(const char* why);
    void decide(bool resend = false);
    void post(const std::string& command);
    void askStatus();
    void writeState();
    BatterySettings heldSettings() const;
    bool fullOnceOver(const PowerReading& reading) const;
    void armAnswerWait();
    void onAnswerWaitOver();
    // The helper went silent after the app's commands: logged, and told to the desktop.
    void helperWentQuiet(const std::string& logLead, const char* summary,
                         const std::string& bodyLead);
    void applyChangedSettings(const BatterySettings& before);
    void expectAnswer();
    void setFullOnce(bool on);

    // The troubles the desktop is told of, each once until it changes or ends.
    enum class Trouble { Helper, Write, Battery };
    void trouble(Trouble trouble, const std::string& summary, const std::string& body);
    void troubleOver(Trouble trouble) { told_.erase(trouble); }

    Parts parts_;
    BatterySettings settings_;
    std::string settingsFile_;
    std::string fullOnceFile_;
    AppStateFile state_;
    std::function<void()> listener_;
    std::map<Trouble, std::string> told_;  // what the desktop was last told of each trouble
    Hold hold_ = Hold::Unknown;
    std::string reason_ = "waiting for the helper";
    HelperState helper_ = HelperState::NotHeardFrom;
    bool opened_ = false;
    bool openAnswered_ = false;
    bool awaitingStatus_ = false;  // the app asked for the helper's status itself
    bool closing_ = false;  // "close" posted on the way out: no more commands, one answer awaited
    bool closeAnswered_ = false;
    std::string closeFailure_;  // what the answer to the last "close" says did not happen
    std::string lastFailure_;   // the last failure told
    bool toldLimitOnly_ = false;
    unsigned answerWait_ = 0;          // the wait in force; an earlier one that ends says nothing
    bool fullOnce_ = false;            // charging to full once, the settings set aside
    std::optional<bool> mainsBefore_;  // the last reading's mains, to see it unplugged
    unsigned answersHeard_ = 0;        // any answer of the helper's, whoever asked
    unsigned sleeps_ = 0;              // the times the machine went to sleep
    bool asleep_ = false;              // from going to sleep until the wake-up
};

}  // namespace ampwarden::ctl
