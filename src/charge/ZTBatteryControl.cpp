#include "charge/ZTBatteryControl.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "platform/MachError.h"
#include "protocol/NotificationNames.h"
#include "smc/SMCErrorText.h"
#include "smc/SMCTexts.h"

namespace ampwarden {

namespace {

constexpr const char* kChargeInhibitKey = "CH0B";
constexpr const char* kChargeInhibitSecondKey = "CH0C";
constexpr const char* kDischargeKey = "CH0I";
constexpr std::int64_t kInhibit = 2;
constexpr std::int64_t kAllow = 0;
constexpr std::int64_t kFullLimit = 100;

// Codes that say the device will never take this write; anything else may pass.
bool isFinal(kern_return_t code) {
    return code == kIOReturnNotFound || code == kIOReturnBadArgument ||
           code == kIOReturnNotWritable;
}

std::string describe(const std::string& key, std::int64_t value) {
    return key + " := " + std::to_string(value);
}

// The commands this object acts on by itself, in matching order, with what each runs given
// its answer name.
struct ControlCommand {
    const char* name;
    void (*run)(ZTBatteryControl& control, const std::string& answerName);
};
using Answer = const std::string&;
constexpr auto kNothing = [](ZTBatteryControl&, Answer) {};
constexpr ControlCommand kControlCommands[] = {
    {names::kOpenSMC, kNothing},
    {names::kCloseSMC, [](ZTBatteryControl& c, Answer) { c.closeCMC(); }},
    {names::kSMCStatus, kNothing},
    {names::kSetEnableCharging, [](ZTBatteryControl& c, Answer a) { c.enableChargingWithName(a); }},
    {names::kSetDisableCharging,
     [](ZTBatteryControl& c, Answer a) { c.disableChargingWithName(a); }},
    {names::kSetEnableDischarging, [](ZTBatteryControl& c, Answer) { c.enableDischarging(); }},
    {names::kSetDisableDischarging, [](ZTBatteryControl& c, Answer) { c.disableDischarging(); }},
    {names::kSetEnableChargingLimitMax,
     [](ZTBatteryControl& c, Answer) { c.setChargingLimitMax(80); }},
    {names::kSetDisableChargingLimitMax,
     [](ZTBatteryControl& c, Answer) { c.setChargingLimitMax(100); }},
};

}  // namespace

ZTBatteryControl::ZTBatteryControl(SMC& smc, RunLoop& loop, Diagnostics& log,
                                   LocalNotificationCenter& center)
    : smc_(smc), loop_(loop), log_(log), center_(center) {
    standardOutput("初始化电池模块");
}

ZTBatteryControl::~ZTBatteryControl() { standardOutput("析构"); }

bool ZTBatteryControl::openCMC() {
    if (controlEnable_) return true;
    if (closeDeferred_) {
        // Still open underneath for a pending reset: take the connection back.
        closeDeferred_ = false;
        controlEnable_ = true;
        retryPendingWrites();
        return true;
    }
    const kern_return_t result = smc_.open();
    if (result == kKernSuccess) {
        controlEnable_ = true;
        return true;
    }
    standardOutput("error open smc connection: " + smcErrorWords(result));
    return false;
}

void ZTBatteryControl::closeCMC() {
    resetSMC();
    const bool mustWait = closeDeferred_ || (controlEnable_ && !pending_.empty());
    controlEnable_ = false;
    if (!mustWait) return closeConnection();
    if (!closeDeferred_)
        standardOutput("charge keys not yet reset: the connection closes once they are written");
    closeDeferred_ = true;
}

void ZTBatteryControl::closeConnection() {
    closeDeferred_ = false;
    const kern_return_t result = smc_.close();
    if (result != kKernSuccess)
        standardOutput("error close smc connection: " + smcErrorWords(result));
}

void ZTBatteryControl::resetSMC() {
    writeKeys({{kChargeInhibitKey, kAllow},
               {BCLM_KEY, kFullLimit},
               // A forced discharge or a second inhibit must not outlive the connection that
               // set them.
               {kChargeInhibitSecondKey, kAllow},
               {kDischargeKey, 0}});
}

bool ZTBatteryControl::writeKeys(const std::vector<KeyWrite>& writes) {
    bool answering = true;
    for (const KeyWrite& write : writes) {
        if (answering) {
            answering = writeKey(write);
            continue;
        }
        noteNotWritten(write.key);
        if (controlEnable_) keepForRetry(write);
    }
    return answering;
}

bool ZTBatteryControl::writeKey(const KeyWrite& write) {
    if (closeDeferred_) {
        // Closed as far as callers know: only the pending reset may still reach the device.
        standardOutput(smctext::kErrorReadFanValue + smcErrorText(kMachSendInvalidDest));
        noteNotWritten(write.key);
        return true;
    }
    forgetPending(write.key);  // a newer value for the key replaces one still waiting
    const kern_return_t code = smc_.writeByteValue(write.key, write.value);
    if (code != kKernSuccess) noteNotWritten(write.key);
    if (code != kKernSuccess && controlEnable_ && !isFinal(code)) keepForRetry(write);
    return code != kIOReturnTimeout;
}

void ZTBatteryControl::noteNotWritten(const std::string& key) {
    if (std::find(notWritten_.begin(), notWritten_.end(), key) == notWritten_.end())
        notWritten_.push_back(key);
}

std::vector<std::string> ZTBatteryControl::takeKeysNotWritten() {
    return std::exchange(notWritten_, {});
}

void ZTBatteryControl::keepForRetry(const KeyWrite& write) {
    forgetPending(write.key);
    pending_.push_back(write);
    standardOutput("retrying " + describe(write.key, write.value) + " until it is written");
    scheduleRetry();
}

void ZTBatteryControl::forgetPending(const std::string& key) {
    std::erase_if(pending_, [&key](const KeyWrite& w) { return w.key == key; });
}

void ZTBatteryControl::scheduleRetry() {
    if (retryScheduled_) return;
    retryScheduled_ = true;
    std::weak_ptr<ZTBatteryControl> weak = weak_from_this();
    loop_.after(kRetryIntervalSeconds, [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->retryScheduled_ = false;
        self->retryPendingWrites();
    });
}

void ZTBatteryControl::retryPendingWrites() {
    std::vector<KeyWrite> waiting;
    waiting.swap(pending_);
    for (std::size_t i = 0; i < waiting.size(); ++i) {
        const KeyWrite& write = waiting[i];
        const kern_return_t code = smc_.writeByteValueQuietly(write.key, write.value);
        if (code == kKernSuccess) {
            standardOutput(describe(write.key, write.value) + " written on retry");
        } else if (isFinal(code)) {
            standardOutput("giving up " + describe(write.key, write.value) + ": " +
                           smcErrorWords(code));
        } else {
            pending_.push_back(write);
        }
        if (code == kIOReturnTimeout) {
            pending_.insert(pending_.end(), waiting.begin() + static_cast<std::ptrdiff_t>(i + 1),
                            waiting.end());
            break;
        }
    }
    if (!pending_.empty()) return scheduleRetry();
    if (closeDeferred_) closeConnection();
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
    log_.systemLog("swift: 开始充电");
    writeKey({BCLM_KEY, kFullLimit});
    // Clearing only "CH0B" would leave a machine that honours "CH0C" not charging.
    writeLater({{kChargeInhibitKey, kAllow}, {kChargeInhibitSecondKey, kAllow}});
}

void ZTBatteryControl::disableChargingWithName(const std::string&) {
    log_.systemLog("swift: 停止充电");
    writeKey({kChargeInhibitKey, kInhibit});
    writeLater({{kChargeInhibitSecondKey, kInhibit}});
}

void ZTBatteryControl::writeLater(std::vector<KeyWrite> writes) {
    std::weak_ptr<ZTBatteryControl> weak = weak_from_this();
    SMC* smc = &smc_;
    loop_.after(kSecondWriteDelaySeconds, [weak, smc, writes] {
        if (auto self = weak.lock()) {
            // Its answer has gone out: a failure here can only be told to the journal. Once
            // the connection is closed, a write that does not land is what the close wants.
            std::vector<std::string> before = self->takeKeysNotWritten();
            self->writeKeys(writes);
            std::vector<std::string> failed = self->takeKeysNotWritten();
            if (!self->controlEnable_) failed.clear();
            for (const std::string& key : failed) {
                self->log_.systemLog("Ampwarden: the delayed write of " + key +
                                     " did not land; the charging may not be as answered");
            }
            self->notWritten_ = std::move(before);
            return;
        }
        for (const KeyWrite& write : writes) smc->writeByteValue(write.key, write.value);
    });
}

void ZTBatteryControl::enableDischarging() {
    if (!controlEnable_) return noteNotWritten(kDischargeKey);
    standardOutput("开始放电");
    writeKey({kDischargeKey, 1});
}

void ZTBatteryControl::disableDischarging() {
    if (!controlEnable_) return noteNotWritten(kDischargeKey);
    standardOutput("停止放电");
    writeKey({kDischargeKey, 0});
}

void ZTBatteryControl::holdDischarging() {
    if (controlEnable_) writeKey({kDischargeKey, 0});
}

void ZTBatteryControl::setChargingLimitMax(std::int64_t limit) { writeKey({BCLM_KEY, limit}); }

void ZTBatteryControl::addNotificationObserver() {
    std::weak_ptr<ZTBatteryControl> weak = weak_from_this();
    notificationObserver_ = center_.addObserver(names::kMainAppIsKilled, [weak] {
        if (auto self = weak.lock()) self->handleMainAppKilledNotification();
    });
}

void ZTBatteryControl::handleMainAppKilledNotification() {
    standardOutput("主应用程序已被终止，关闭smc");
    closeCMC();
}

void ZTBatteryControl::registerDaemonNotification(const CommandObserver& observe) {
    for (const ControlCommand& command : kControlCommands) {
        observe(command.name, [callback = notificationCallback()](const std::string& arrived) {
            callback(&arrived);
        });
    }
}

ZTBatteryControl::NotificationCallback ZTBatteryControl::notificationCallback() {
    return [weak = weak_from_this()](const std::string* name) {
        if (auto self = weak.lock()) self->onCommandName(name);
    };
}

void ZTBatteryControl::onCommandName(const std::string* name) {
    if (name == nullptr) return;
    const std::string answerName = *name + names::kCallbackSuffix;
    standardOutput("notifyName: " + *name);
    standardOutput("name_callback: " + answerName);
    for (const ControlCommand& command : kControlCommands) {
        if (*name != command.name) continue;
        command.run(*this, answerName);
        return;
    }
}

}  // namespace ampwarden
