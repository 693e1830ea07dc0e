#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/NotificationChannel.h"
#include "platform/RunLoop.h"
#include "smc/SMC.h"

namespace ampwarden {

// Turns the helper's charge commands into one-byte SMC key reads and writes and keeps whether
// this object holds an open SMC connection. Runs on `loop` only. The SMC connection itself
// belongs to `smc`, which must outlive every write this object schedules; `loop`, `log` and
// `center` must outlive the object and those writes.
//
// Keys written: "CH0B"/"CH0C" inhibit charging (2) or allow it (0), "BCLM" is the charge limit
// in percent, "CH0I" forces the battery to discharge on AC power (1) or not (0).
//
// The object must be owned by a std::shared_ptr for addNotificationObserver to reach it.
class ZTBatteryControl : public std::enable_shared_from_this<ZTBatteryControl> {
  public:
    // The battery-control callback for command names; `name` is null when none came.
    using NotificationCallback = std::function<void(const std::string* name)>;
    // Observes one command name and calls `callback` with each arrival (the command channel,
    // behind whatever decides who may send it).
    using CommandObserver = std::function<void(const std::string& name,
                                               std::function<void(const std::string&)> callback)>;

    ZTBatteryControl(SMC& smc, RunLoop& loop, Diagnostics& log, LocalNotificationCenter& center);
    ~ZTBatteryControl();
    ZTBatteryControl(const ZTBatteryControl&) = delete;
    ZTBatteryControl& operator=(const ZTBatteryControl&) = delete;

    const std::string BCLM_KEY = "BCLM";
    const std::string BCLC_KEY = "BCLC";
    const std::string MagSafeLedKey = "ACLC";
    const std::string ACPowerKey = "AC-W";
    const std::string AdapterKey = "CH0K";
    const std::string BatteryChargeKey = "BBIF";

    bool controlEnable() const { return controlEnable_; }
    void setControlEnable(bool enable) { controlEnable_ = enable; }

    // True when the connection is open for this object (already, or opened now).
    bool openCMC();
    // Resets the charging keys, then closes the connection; afterwards the object counts as
    // closed even if closing failed. While a reset write is still being retried the
    // connection stays open underneath, for the retry only, and closes once it lands.
    void closeCMC();
    // Gives the battery back to the firmware: charging allowed, limit 100, no forced discharge.
    void resetSMC();
    std::int64_t getcmcStatus() const { return controlEnable_ ? 1 : 0; }
    // The charge limit ("BCLM"), or -1 when it cannot be read.
    std::int64_t get_charging_status();
    // The forced-discharge key ("CH0I"), or 9 when it cannot be read.
    std::int64_t get_discharging_status();

    // Both write at once and once more 0.5 s later on the main loop; the delayed write is never
    // cancelled. The name is not used.
    void enableChargingWithName(const std::string& name);
    void disableChargingWithName(const std::string& name);
    // Start and end a forced discharge; both act only while the connection is open.
    void enableDischarging();
    void disableDischarging();
    // Ends a forced discharge without a log line of its own, for paths that stop charging on
    // behalf of the machine (sleep, closed lid) rather than on the main app's request.
    void holdDischarging();
    void setChargingLimitMax(std::int64_t limit);

    // The keys whose write did not land at once since the last call (refused, timed out and
    // left to the retry, or not tried for want of the connection), in the order tried; empties
    // the list. The writes made half a second later do not count: their answer has gone, so
    // their failures go to the journal.
    std::vector<std::string> takeKeysNotWritten();

    // Charge-key writes that did not reach the device are kept, newest value per key, and
    // written again every kRetryIntervalSeconds until they land, while the connection is ours.
    // A sequence of writes stops at the first that times out and leaves the rest to the
    // retry, so a stalled device holds the loop for one deadline per call, not one per key.
    // Callable at any time (for instance from the watchdog's tick); does nothing when no write
    // is waiting.
    void retryPendingWrites();
    bool hasPendingWrites() const { return !pending_.empty(); }
    static constexpr double kRetryIntervalSeconds = 5;
    // The pause between the two writes of a charging operation.
    static constexpr double kSecondWriteDelaySeconds = 0.5;

    // Self-wiring, unused by the helper's start-up. Observes "mainAppIsKilled" on the object's
    // local center, holding this object weakly; a second call adds a second observation.
    void addNotificationObserver();
    void handleMainAppKilledNotification();
    // Registers notificationCallback() through `observe` for the nine battery command names
    // this object acts on by itself.
    void registerDaemonNotification(const CommandObserver& observe);
    // Logs the name and its answer name, then carries the command out on this object; holds
    // the object weakly, so it does nothing once the object is gone.
    NotificationCallback notificationCallback();
    const LocalNotificationCenter::Token& notificationObserver() const {
        return notificationObserver_;
    }
    void setNotificationObserver(LocalNotificationCenter::Token token) {
        notificationObserver_ = std::move(token);
    }

  private:
    struct KeyWrite {
        std::string key;
        std::int64_t value = 0;
    };

    // Writes in order; false when one timed out (the rest then wait for the retry).
    bool writeKeys(const std::vector<KeyWrite>& writes);
    bool writeKey(const KeyWrite& write);
    void noteNotWritten(const std::string& key);
    // Schedules `writes` kSecondWriteDelaySeconds from now.
    void writeLater(std::vector<KeyWrite> writes);
    void keepForRetry(const KeyWrite& write);
    void forgetPending(const std::string& key);
    void scheduleRetry();
    void closeConnection();
    bool ownsConnection() const { return controlEnable_ || closeDeferred_; }
    void standardOutput(const std::string& line) { log_.standardOutput(line); }
    void onCommandName(const std::string* name);

    SMC& smc_;
    RunLoop& loop_;
    Diagnostics& log_;
    LocalNotificationCenter& center_;
    bool controlEnable_ = false;
    bool closeDeferred_ = false;  // closed for callers; open underneath for pending writes
    bool retryScheduled_ = false;
    std::vector<std::string> notWritten_;
    std::vector<KeyWrite> pending_;  // in the order first tried
    LocalNotificationCenter::Token notificationObserver_;
};

}  // namespace ampwarden
