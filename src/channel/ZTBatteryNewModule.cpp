#include "channel/ZTBatteryNewModule.h"

#include "channel/Notifications.h"
#include "channel/ZTMonitorManager.h"
#include "platform/DisplayMonitor.h"
#include "protocol/CommandProtocol.h"
#include "protocol/NotificationNames.h"

namespace ampwarden {

namespace {

constexpr double kUninstallDelaySeconds = 2.5;

using Module = ZTBatteryNewModule;

// What the protocol table says the command called `name` needs from its sender.
CommandAccess access(const char* name) {
    const protocol::CommandEntry* command = protocol::findCommand(name);
    return command ? command->access : CommandAccess::Control;
}

BatteryCommand command(const char* name, void (Module::*run)()) {
    return {name, access(name), run};
}

const BatteryCommand kCommands[] = {
    command(names::kQueryChargingStatus, &Module::getChargingStatus),
    command(names::kOpenSMC, &Module::openSMC),
    command(names::kCloseSMC, &Module::closeSMC),
    command(names::kSMCStatus, &Module::getSMCStatus),
    command(names::kSetEnableCharging, &Module::enableCharging),
    command(names::kSetDisableCharging, &Module::disableCharging),
    command(names::kSetEnableDischarging, &Module::enableDischarging),
    command(names::kSetDisableDischarging, &Module::disableDischarging),
    command(names::kSetEnableChargingLimitMax, &Module::enableChargingLimitMax),
    command(names::kSetDisableChargingLimitMax, &Module::disableChargingLimitMax),
    command(names::kUninstallHelper, &Module::uninstallAfterClose),
};

NotificationDictionary ctrlStatus(const char* value) {
    return {{names::kSmcCtrlStatusKey, std::string(value)}};
}

// The answer's own keys, and whether the writes since the last report landed.
NotificationDictionary withWrites(NotificationDictionary answer, ZTBatteryControl& control) {
    const std::vector<std::string> failed = control.takeKeysNotWritten();
    answer[names::kSmcWrittenKey] = std::int32_t{failed.empty() ? 1 : 0};
    if (failed.empty()) return answer;
    std::string keys;
    for (const std::string& key : failed) keys += (keys.empty() ? "" : " ") + key;
    answer[names::kSmcNotWrittenKey] = keys;
    return answer;
}

}  // namespace

template <typename Action>
auto ZTBatteryNewModule::whileAlive(Action action) {
    return [alive = std::weak_ptr<bool>(alive_), action](auto&&... args) {
        if (!alive.expired()) action(std::forward<decltype(args)>(args)...);
    };
}

ZTBatteryNewModule::ZTBatteryNewModule(Platform& platform, SMC& smc, CommandGate& gate,
                                       LocalNotificationCenter& center)
    : platform_(platform),
      gate_(gate),
      utility_(platform.machine(), platform.channel(), platform.runLoop(), platform.diagnostics(),
               platform.processes()) {
    center.addObserver(names::kMainAppIsKilled,
                       whileAlive([this] { handleMainAppKilledNotification(); }));
    registerDaemonNotification();
    batteryControl_ =
        std::make_shared<ZTBatteryControl>(smc, platform.runLoop(), platform.diagnostics(), center);
    registerSystemEvents();
}

ZTBatteryNewModule::~ZTBatteryNewModule() = default;

void ZTBatteryNewModule::registerSystemEvents() {
    LoginManager& login = platform_.loginManager();
    std::weak_ptr<bool> alive = alive_;
    // Once the module is gone nothing holds the machine awake: it may sleep at once.
    login.setSleepHandlers(
        [this, alive, &login] {
            if (alive.expired()) return login.sleepWorkDone();
            onWillSleep();
        },
        whileAlive([this] { receiveWakeNote(); }));
    platform_.displays().setReconfigurationCallback(
        whileAlive([this](std::uint32_t display, std::uint32_t flags) {
            displayReconfigurationCallback(display, flags);
        }));
}

void ZTBatteryNewModule::onWillSleep() {
    receiveSleepNote();
    // Sleep stops charging only during a forced discharge; otherwise nothing was written.
    if (isDischargingStatus_) {
        releaseSleepAfterPendingWrites();
    } else {
        platform_.loginManager().sleepWorkDone();
    }
}

// Lets the machine sleep once the writes that the will-sleep handling started have reached
// the SMC: scheduled after them with the same delay, the release runs after them.
void ZTBatteryNewModule::releaseSleepAfterPendingWrites() {
    LoginManager& login = platform_.loginManager();
    platform_.runLoop().after(ZTBatteryControl::kSecondWriteDelaySeconds,
                              [&login] { login.sleepWorkDone(); });
}

std::span<const BatteryCommand> batteryCommands() { return kCommands; }

void ZTBatteryNewModule::registerDaemonNotification() {
    for (const BatteryCommand& command : kCommands) {
        addDarwinObserver(
            platform_.channel(), gate_, command.name,
            whileAlive([this](const std::string& name) { batteryCommandCallback(name); }),
            command.access);
    }
}

void ZTBatteryNewModule::batteryCommandCallback(const std::string& name) {
    for (const BatteryCommand& command : kCommands) {
        if (name == command.name) {
            (this->*command.run)();
            return;
        }
    }
}

void ZTBatteryNewModule::handleMainAppKilledNotification() { closeSMC(); }

void ZTBatteryNewModule::receiveSleepNote() {
    isSleep_ = true;
    if (isDischargingStatus_) interruptDischarging();
}

void ZTBatteryNewModule::receiveWakeNote() { isSleep_ = false; }

bool ZTBatteryNewModule::lidClosed() {
    return ZTMonitorManager::lidClosed(platform_.machine(), platform_.loginManager(),
                                       platform_.diagnostics());
}

void ZTBatteryNewModule::getlibStatus() {
    isClosedDisplay_ = lidClosed();
    if (isClosedDisplay_ && isDischargingStatus_) interruptDischarging();
}

void ZTBatteryNewModule::displayReconfigurationCallback(std::uint32_t, std::uint32_t flags) {
    if (flags & kDisplayAddFlag) getlibStatus();
    if (flags & kDisplayRemoveFlag) getlibStatus();
}

void ZTBatteryNewModule::getChargingStatus() {
    const std::int64_t charging = batteryControl_->get_charging_status();
    const std::int64_t discharging = batteryControl_->get_discharging_status();
    platform_.channel().postDistributedNotification(
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
    batteryControl_->takeKeysNotWritten();
    batteryControl_->closeCMC();
    postDistributedNotifyName(
        names::kCloseSMC,
        withWrites({{names::kSmcOpenCloseKey, std::string(names::kClose)}}, *batteryControl_));
}

void ZTBatteryNewModule::getSMCStatus() {
    postDistributedNotifyName(names::kSMCStatus,
                              {{names::kSmcStatusKey, batteryControl_->getcmcStatus()}});
}

void ZTBatteryNewModule::enableCharging() {
    batteryControl_->takeKeysNotWritten();
    batteryControl_->enableChargingWithName(names::kSetEnableCharging);
    answerWrites(names::kSetEnableCharging, names::kEnableCharging);
}

void ZTBatteryNewModule::disableCharging() {
    batteryControl_->takeKeysNotWritten();
    batteryControl_->disableChargingWithName(names::kSetDisableCharging);
    answerWrites(names::kSetDisableCharging, names::kDisableCharging);
}

void ZTBatteryNewModule::interruptDischarging() {
    batteryControl_->takeKeysNotWritten();
    batteryControl_->disableChargingWithName(names::kSetDisableCharging);
    batteryControl_->holdDischarging();
    answerWrites(names::kSetDisableCharging, names::kDisableCharging);
}

void ZTBatteryNewModule::answerWrites(const char* name, const char* ctrlValue) {
    postDistributedNotifyName(name, withWrites(ctrlStatus(ctrlValue), *batteryControl_));
}

void ZTBatteryNewModule::enableDischarging() {
    if (isSleep_) {
        disableDischarging();
        return;
    }
    isClosedDisplay_ = lidClosed();
    if (isClosedDisplay_) {
        // Refused with the lid closed: make sure no earlier discharge keeps draining either.
        interruptDischarging();
        return;
    }
    batteryControl_->takeKeysNotWritten();
    batteryControl_->enableDischarging();
    isDischargingStatus_ = true;
    answerWrites(names::kSetEnableDischarging, names::kDischarging);
}

void ZTBatteryNewModule::disableDischarging() {
    batteryControl_->disableDischarging();
    isDischargingStatus_ = false;
}

void ZTBatteryNewModule::enableChargingLimitMax() {
    batteryControl_->takeKeysNotWritten();
    batteryControl_->setChargingLimitMax(80);
    answerWrites(names::kSetEnableChargingLimitMax, names::kEnableLimitMax);
}

void ZTBatteryNewModule::disableChargingLimitMax() {
    batteryControl_->takeKeysNotWritten();
    batteryControl_->setChargingLimitMax(100);
    answerWrites(names::kSetDisableChargingLimitMax, names::kDisableLimitMax);
}

void ZTBatteryNewModule::resetSMC() { batteryControl_->resetSMC(); }

std::string ZTBatteryNewModule::extraNotiName(const std::string& name) {
    return name + names::kCallbackSuffix;
}

void ZTBatteryNewModule::postDistributedNotifyName(const std::string& name,
                                                   const NotificationDictionary& dictionary) {
    platform_.channel().postDistributedNotification(extraNotiName(name), dictionary);
}

void ZTBatteryNewModule::uninstallAfterClose() {
    closeSMC();
    platform_.runLoop().after(kUninstallDelaySeconds,
                              [utility = utility_]() mutable { utility.uninstallDaemonHelper(); });
}

}  // namespace ampwarden
