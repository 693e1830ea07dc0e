#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "channel/CommandGate.h"
#include "charge/ZTBatteryControl.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/NotificationChannel.h"
#include "platform/Platform.h"
#include "smc/SMC.h"
#include "util/ZTUtilityTool.h"

namespace ampwarden {

// The helper's command module: receives every battery command from the main app, carries it
// out on the battery-control object and answers it. It also reacts to the main app's exit,
// sleep and wake, and display changes (on which it probes the lid). One instance per process;
// everything runs on the platform's main loop.
class ZTBatteryNewModule {
  public:
    // Registers the command names (behind `gate`), the "mainAppIsKilled" observer on `center`,
    // the sleep and wake handlers and the display callback, and creates the battery-control
    // object on `smc`. Nothing registered is ever removed; once the module is gone they do
    // nothing. `platform`, `smc`, `gate` and `center` must outlive the module.
    ZTBatteryNewModule(Platform& platform, SMC& smc, CommandGate& gate,
                       LocalNotificationCenter& center);
    ~ZTBatteryNewModule();
    ZTBatteryNewModule(const ZTBatteryNewModule&) = delete;
    ZTBatteryNewModule& operator=(const ZTBatteryNewModule&) = delete;

    bool isDischargingStatus() const { return isDischargingStatus_; }
    bool isSleep() const { return isSleep_; }
    bool isClosedDisplay() const { return isClosedDisplay_; }
    const std::shared_ptr<ZTBatteryControl>& batteryControl() const { return batteryControl_; }

    void registerDaemonNotification();
    void handleMainAppKilledNotification();
    void receiveSleepNote();
    void receiveWakeNote();
    void getlibStatus();

    void getChargingStatus();
    void openSMC();
    void closeSMC();
    void getSMCStatus();
    void enableCharging();
    void disableCharging();
    void enableDischarging();
    void disableDischarging();
    void enableChargingLimitMax();
    void disableChargingLimitMax();
    void resetSMC();

    // The command callback for all eleven command names.
    void batteryCommandCallback(const std::string& name);
    // The display callback: probes the lid once for a display added and once for one removed.
    void displayReconfigurationCallback(std::uint32_t display, std::uint32_t flags);
    // Closes the SMC connection (answering) and uninstalls the helper 2.5 s later.
    void uninstallAfterClose();

    static std::string extraNotiName(const std::string& name);
    // Posts `dictionary` under extraNotiName(name).
    void postDistributedNotifyName(const std::string& name,
                                   const NotificationDictionary& dictionary);

  private:
    // Stops charging on the machine's behalf while a forced discharge is in force, so the
    // battery neither charges nor drains; answers like disableCharging.
    void interruptDischarging();
    // Answers `name` with smcCtrlStatus `ctrlValue` and whether the keys were written.
    void answerWrites(const char* name, const char* ctrlValue);
    void registerSystemEvents();
    bool lidClosed();
    void onWillSleep();
    void releaseSleepAfterPendingWrites();
    // `action` on this module while it exists; nothing once it is gone.
    template <typename Action>
    auto whileAlive(Action action);

    Platform& platform_;
    CommandGate& gate_;
    ZTUtilityTool utility_;
    bool isDischargingStatus_ = false;
    bool isSleep_ = false;
    bool isClosedDisplay_ = false;
    std::shared_ptr<ZTBatteryControl> batteryControl_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// One row per command name, in registration and matching order: what it needs from its sender
// (the queries only read; every other command changes the machine's state) and what the
// command module runs for it.
struct BatteryCommand {
    const char* name;
    CommandAccess access;
    void (ZTBatteryNewModule::*run)();
};
std::span<const BatteryCommand> batteryCommands();

}  // namespace ampwarden
