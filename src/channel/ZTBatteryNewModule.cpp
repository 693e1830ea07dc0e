#include "channel/ZTBatteryNewModule.h"

#include "channel/LocalNotificationCenter.h"
#include "channel/NotificationNames.h"
#include "channel/Notifications.h"
#include "channel/ZTMonitorManager.h"
#include "platform/DisplayMonitor.h"
#include "platform/Platform.h"
#include "util/ZTUtilityTool.h"

namespace ampwarden {

ZTBatteryNewModule* sharedBatteryModule = nullptr;

namespace {

constexpr double kUninstallDelaySeconds = 2.5;

using Control = ZTBatteryControl;
using Answer = const std::string&;
constexpr auto kNothing = [](Control&, Answer) {};

constexpr CommandAccess kReadOnly = CommandAccess::ReadOnly;
constexpr CommandAccess kControl = CommandAccess::Control;

constexpr BatteryCommand kCommands[] = {
    {names::kQueryChargingStatus, kReadOnly, [] { sharedBatteryModule->getChargingStatus(); },
     nullptr},
    {names::kOpenSMC, kControl, [] { sharedBatteryModule->openSMC(); }, kNothing},
    {names::kCloseSMC, kControl, [] { sharedBatteryModule->closeSMC(); },
     [](Control& c, Answer) { c.closeCMC(); }},
    {names::kSMCStatus, kReadOnly, [] { sharedBatteryModule->getSMCStatus(); }, kNothing},
    {names::kSetEnableCharging, kControl, [] { sharedBatteryModule->enableCharging(); },
     [](Control& c, Answer a) { c.enableChargingWithName(a); }},
    {names::kSetDisableCharging, kControl, [] { sharedBatteryModule->disableCharging(); },
     [](Control& c, Answer a) { c.disableChargingWithName(a); }},
    {names::kSetEnableDischarging, kControl, [] { sharedBatteryModule->enableDischarging(); },
     [](Control& c, Answer) { c.enableDischarging(); }},
    {names::kSetDisableDischarging, kControl, [] { sharedBatteryModule->disableDischarging(); },
     [](Control& c, Answer) { c.disableDischarging(); }},
    {names::kSetEnableChargingLimitMax, kControl,
     [] { sharedBatteryModule->enableChargingLimitMax(); },
     [](Control& c, Answer) { c.setChargingLimitMax(80); }},
    {names::kSetDisableChargingLimitMax, kControl,
     [] { sharedBatteryModule->disableChargingLimitMax(); },
     [](Control& c, Answer) { c.setChargingLimitMax(100); }},
    {names::kUninstallHelper, CommandAccess::Uninstall, uninstallAfterClose, nullptr},
};

NotificationDictionary ctrlStatus(const char* value) {
    return {{names::kSmcCtrlStatusKey, std::string(value)}};
}

// Lets the machine sleep once the writes that the will-sleep handling started have reached
// the SMC: scheduled after them with the same delay, the release runs after them.
void releaseSleepAfterPendingWrites() {
    Platform::current().runLoop().after(ZTBatteryControl::kSecondWriteDelaySeconds,
                                        [] { Platform::current().loginManager().sleepWorkDone(); });
}

void onWillSleep() {
    if (sharedBatteryModule == nullptr) {
        Platform::current().loginManager().sleepWorkDone();
        return;
    }
    sharedBatteryModule->receiveSleepNote();
    // Sleep stops charging only during a forced discharge; otherwise nothing was written.
    if (sharedBatteryModule->isDischargingStatus()) {
        releaseSleepAfterPendingWrites();
    } else {
        Platform::current().loginManager().sleepWorkDone();
    }
}

void onDidWake() {
    if (sharedBatteryModule != nullptr) sharedBatteryModule->receiveWakeNote();
}

}  // namespace

ZTBatteryNewModule::ZTBatteryNewModule(SMC& smc) {
    sharedBatteryModule = this;
    LocalNotificationCenter::defaultCenter().addObserver(names::kMainAppIsKilled, [] {
        if (sharedBatteryModule != nullptr) sharedBatteryModule->handleMainAppKilledNotification();
    });
    registerDaemonNotification();
    batteryControl_ = std::make_shared<ZTBatteryControl>(smc);
    registerSystemEvents();
}

ZTBatteryNewModule::~ZTBatteryNewModule() {
    if (sharedBatteryModule == this) sharedBatteryModule = nullptr;
}

void ZTBatteryNewModule::registerSystemEvents() {
    Platform& platform = Platform::current();
    platform.loginManager().setSleepHandlers(onWillSleep, onDidWake);
    platform.displays().setReconfigurationCallback(displayReconfigurationCallback);
}

std::span<const BatteryCommand> batteryCommands() { return kCommands; }

void ZTBatteryNewModule::registerDaemonNotification() {
    for (const BatteryCommand& command : kCommands)
        addDarwinObserver(command.name, batteryCommandCallback, command.access);
}

void batteryCommandCallback(const std::string& name) {
    if (sharedBatteryModule == nullptr) return;
    for (const BatteryCommand& command : kCommands) {
        if (name == command.name) {
            command.run();
            return;
        }
    }
}

std::optional<CommandAccess> commandAccess(const std::string& name) {
    for (const BatteryCommand& command : kCommands) {
        if (name == command.name) return command.access;
    }
    return std::nullopt;
}

void ZTBatteryNewModule::handleMainAppKilledNotification() { closeSMC(); }

void ZTBatteryNewModule::receiveSleepNote() {
    isSleep_ = true;
    if (isDischargingStatus_) interruptDischarging();
}

void ZTBatteryNewModule::receiveWakeNote() { isSleep_ = false; }

void ZTBatteryNewModule::getlibStatus() {
    isClosedDisplay_ = ZTMonitorManager::lidClosed();
    if (isClosedDisplay_ && isDischargingStatus_) interruptDischarging();
}

void displayReconfigurationCallback(std::uint32_t, std::uint32_t flags) {
    if (sharedBatteryModule == nullptr) return;
    if (flags & kDisplayAddFlag) sharedBatteryModule->getlibStatus();
    if (flags & kDisplayRemoveFlag) sharedBatteryModule->getlibStatus();
}

void ZTBatteryNewModule::getChargingStatus() {
    const std::int64_t charging = batteryControl_->get_charging_status();
    const std::int64_t discharging = batteryControl_->get_discharging_status();
    postDistributedNotification(
        names::kChargingStatusAnswer,
        {{names::kChargingStatusKey, std::int32_t{charging == 0 ? 1 : 0}},
         {names::kDischargingStatusKey, std::int32_t{discharging == 1 ? 1 : 0}}});
}

void ZTBatteryNewModule::openSMC() {
    const bool ok = batteryControl_->openCMC();
    postDistributedNotifyName(names::kOpenSMC, {{names::kSmcOpenCloseKey,
                                                 std::string(ok ? names::kOpen : names::kClose)}});
}

void ZTBatteryNewModule::closeSMC() {
    batteryControl_->closeCMC();
    postDistributedNotifyName(names::kCloseSMC,
                              {{names::kSmcOpenCloseKey, std::string(names::kClose)}});
}

void ZTBatteryNewModule::getSMCStatus() {
    postDistributedNotifyName(names::kSMCStatus,
                              {{names::kSmcStatusKey, batteryControl_->getcmcStatus()}});
}

void ZTBatteryNewModule::enableCharging() {
    batteryControl_->enableChargingWithName(names::kSetEnableCharging);
    postDistributedNotifyName(names::kSetEnableCharging, ctrlStatus(names::kEnableCharging));
}

void ZTBatteryNewModule::disableCharging() {
    batteryControl_->disableChargingWithName(names::kSetDisableCharging);
    postDistributedNotifyName(names::kSetDisableCharging, ctrlStatus(names::kDisableCharging));
}

void ZTBatteryNewModule::interruptDischarging() {
    batteryControl_->disableChargingWithName(names::kSetDisableCharging);
    batteryControl_->holdDischarging();
    postDistributedNotifyName(names::kSetDisableCharging, ctrlStatus(names::kDisableCharging));
}

void ZTBatteryNewModule::enableDischarging() {
    if (isSleep_) {
        disableDischarging();
        return;
    }
    isClosedDisplay_ = ZTMonitorManager::lidClosed();
    if (isClosedDisplay_) {
        // Refused with the lid closed: make sure no earlier discharge keeps draining either.
        interruptDischarging();
        return;
    }
    batteryControl_->enableDischarging();
    isDischargingStatus_ = true;
    postDistributedNotifyName(names::kSetEnableDischarging, ctrlStatus(names::kDischarging));
}

void ZTBatteryNewModule::disableDischarging() {
    batteryControl_->disableDischarging();
    isDischargingStatus_ = false;
}

void ZTBatteryNewModule::enableChargingLimitMax() {
    batteryControl_->setChargingLimitMax(80);
    postDistributedNotifyName(names::kSetEnableChargingLimitMax,
                              ctrlStatus(names::kEnableLimitMax));
}

void ZTBatteryNewModule::disableChargingLimitMax() {
    batteryControl_->setChargingLimitMax(100);
    postDistributedNotifyName(names::kSetDisableChargingLimitMax,
                              ctrlStatus(names::kDisableLimitMax));
}

void ZTBatteryNewModule::resetSMC() { batteryControl_->resetSMC(); }

std::string ZTBatteryNewModule::extraNotiName(const std::string& name) {
    return name + names::kCallbackSuffix;
}

void ZTBatteryNewModule::postDistributedNotifyName(const std::string& name,
                                                   const NotificationDictionary& dictionary) {
    postDistributedNotification(extraNotiName(name), dictionary);
}

void uninstallAfterClose() {
    if (sharedBatteryModule != nullptr) sharedBatteryModule->closeSMC();
    Platform::current().runLoop().after(kUninstallDelaySeconds,
                                        [] { ZTUtilityTool::uninstallDaemonHelper(); });
}

}  // namespace ampwarden
