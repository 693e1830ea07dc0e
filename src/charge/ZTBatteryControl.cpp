#include "charge/ZTBatteryControl.h"

#include "channel/NotificationNames.h"
#include "channel/Notifications.h"
#include "charge/ZTNotificationManager.h"
#include "platform/MachError.h"
#include "platform/Platform.h"
#include "smc/SMCErrorText.h"

namespace ampwarden {

namespace {

constexpr const char* kChargeInhibitKey = "CH0B";
constexpr const char* kChargeInhibitSecondKey = "CH0C";
constexpr const char* kDischargeKey = "CH0I";
constexpr std::int64_t kInhibit = 2;
constexpr std::int64_t kAllow = 0;
constexpr std::int64_t kFullLimit = 100;
// The second key of each charging operation follows the first after this pause.
constexpr double kSecondWriteDelaySeconds = 0.5;

std::shared_ptr<ZTBatteryControl> selfClassSlot;

void standardOutput(const std::string& line) {
    Platform::current().diagnostics().standardOutput(line);
}

void systemLog(const std::string& line) { Platform::current().diagnostics().systemLog(line); }

// Acts on the instance in selfClass for one of the nine command names; no answer is posted.
void commandNameCallback(const std::string* name) {
    if (name == nullptr) return;
    const std::string answerName = *name + names::kCallbackSuffix;
    standardOutput("notifyName: " + *name);
    standardOutput("name_callback: " + answerName);
    auto control = ZTBatteryControl::selfClass();
    if (!control) return;
    using M = ZTNotificationManager;
    if (*name == M::CloseSMC) {
        control->closeCMC();
    } else if (*name == M::SetEnableCharging) {
        control->enableChargingWithName(answerName);
    } else if (*name == M::SetDisableCharging) {
        control->disableChargingWithName(answerName);
    } else if (*name == M::SetEnableDischarging) {
        control->enableDischarging();
    } else if (*name == M::SetDisableDischarging) {
        control->disableDischarging();
    } else if (*name == M::SetEnableChargingLimitMax) {
        control->setChargingLimitMax(80);
    } else if (*name == M::SetDisableChargingLimitMax) {
        control->setChargingLimitMax(100);
    }
}

}  // namespace

ZTBatteryControl::ZTBatteryControl(SMC& smc)
    : smc_(smc), notificationCallback_(&commandNameCallback) {
    standardOutput("初始化电池模块");
}

ZTBatteryControl::~ZTBatteryControl() { standardOutput("析构"); }

bool ZTBatteryControl::openCMC() {
    if (controlEnable_) return true;
    const kern_return_t result = smc_.open();
    if (result == kKernSuccess) {
        controlEnable_ = true;
        return true;
    }
    standardOutput("error open smc connection: " + smcErrorText(result));
    return false;
}

void ZTBatteryControl::closeCMC() {
    resetSMC();
    const kern_return_t result = smc_.close();
    if (result != kKernSuccess)
        standardOutput("error close smc connection: " + smcErrorText(result));
    controlEnable_ = false;
}

void ZTBatteryControl::resetSMC() {
    smc_.writeByteValue(kChargeInhibitKey, kAllow);
    smc_.writeByteValue(BCLM_KEY, kFullLimit);
    // A forced discharge or a second inhibit must not outlive the connection that set them.
    smc_.writeByteValue(kChargeInhibitSecondKey, kAllow);
    smc_.writeByteValue(kDischargeKey, 0);
}

std::int64_t ZTBatteryControl::get_charging_status() {
    const auto value = smc_.readByteValue(BCLM_KEY);
    if (!value) return -1;
    standardOutput("swift获取充电状态 " + std::to_string(*value));
    return *value;
}

std::int64_t ZTBatteryControl::get_discharging_status() {
    const auto value = smc_.readByteValue(kDischargeKey);
    if (!value) return 9;
    standardOutput("swift获取放电状态 " + std::to_string(*value));
    return *value;
}

void ZTBatteryControl::enableChargingWithName(const std::string&) {
    systemLog("swift: 开始充电");
    smc_.writeByteValue(BCLM_KEY, kFullLimit);
    SMC* smc = &smc_;
    Platform::current().runLoop().after(kSecondWriteDelaySeconds, [smc] {
        smc->writeByteValue(kChargeInhibitKey, kAllow);
        // Clearing only "CH0B" would leave a machine that honours "CH0C" not charging.
        smc->writeByteValue(kChargeInhibitSecondKey, kAllow);
    });
}

void ZTBatteryControl::disableChargingWithName(const std::string&) {
    systemLog("swift: 停止充电");
    smc_.writeByteValue(kChargeInhibitKey, kInhibit);
    SMC* smc = &smc_;
    Platform::current().runLoop().after(kSecondWriteDelaySeconds, [smc] {
        smc->writeByteValue(kChargeInhibitSecondKey, kInhibit);
    });
}

void ZTBatteryControl::enableDischarging() {
    if (!controlEnable_) return;
    standardOutput("开始放电");
    smc_.writeByteValue(kDischargeKey, 1);
}

void ZTBatteryControl::disableDischarging() {
    if (!controlEnable_) return;
    standardOutput("停止放电");
    smc_.writeByteValue(kDischargeKey, 0);
}

void ZTBatteryControl::holdDischarging() {
    if (controlEnable_) smc_.writeByteValue(kDischargeKey, 0);
}

void ZTBatteryControl::setChargingLimitMax(std::int64_t limit) {
    smc_.writeByteValue(BCLM_KEY, limit);
}

void ZTBatteryControl::addNotificationObserver() {
    std::weak_ptr<ZTBatteryControl> weak = weak_from_this();
    notificationObserver_ =
        LocalNotificationCenter::defaultCenter().addObserver(names::kMainAppIsKilled, [weak] {
            if (auto self = weak.lock()) self->handleMainAppKilledNotification();
        });
}

void ZTBatteryControl::handleMainAppKilledNotification() {
    standardOutput("主应用程序已被终止，关闭smc");
    closeCMC();
}

void ZTBatteryControl::registerDaemonNotification() {
    const NotificationCallback callback = notificationCallback_;
    for (const char* name : ZTNotificationManager::allNames()) {
        addDarwinObserver(name, [callback](const std::string& arrived) { callback(&arrived); });
    }
}

std::shared_ptr<ZTBatteryControl> ZTBatteryControl::selfClass() { return selfClassSlot; }

void ZTBatteryControl::setSelfClass(std::shared_ptr<ZTBatteryControl> instance) {
    selfClassSlot = std::move(instance);
}

}  // namespace ampwarden
