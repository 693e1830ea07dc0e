#include "app/ZTMonitorApp.h"

#include "channel/LocalNotificationCenter.h"
#include "channel/NotificationNames.h"
#include "platform/Platform.h"

namespace ampwarden {

std::unique_ptr<Timer> monitorTimer;

namespace {

void log(const std::string& line) { Platform::current().diagnostics().systemLog(line); }

// Cancels the timer in the slot and hands it to the loop to destroy, so a timer can be
// retired from inside its own callback.
void retireMonitorTimer(RunLoop& queue) {
    if (!monitorTimer) return;
    monitorTimer->cancel();
    std::shared_ptr<Timer> retired = std::move(monitorTimer);
    queue.after(0, [retired] {});
}

}  // namespace

void scheduleDispatchTimer(bool repeats, RunLoop& queue, std::function<void()> block,
                           double interval) {
    retireMonitorTimer(queue);
    // Known once created, so a one-shot does not empty a slot that its block refilled.
    auto self = std::make_shared<const Timer*>(nullptr);
    monitorTimer = queue.repeating(interval, [repeats, block = std::move(block), self, &queue] {
        block();
        if (!repeats && monitorTimer.get() == *self) retireMonitorTimer(queue);
    });
    *self = monitorTimer.get();
}

void ZTMonitorApp::startMonitoringAppWithBundleID(const std::string& bundleId) {
    monitoredBundleID_ = bundleId;
    wasRunning_ = false;
    checkAppStatus();
    std::shared_ptr<ZTMonitorApp> self = shared_from_this();
    scheduleDispatchTimer(
        true, Platform::current().runLoop(),
        [self] {
            log("Timer fired!");
            self->checkAppStatus();
        },
        kCheckIntervalSeconds);
}

void ZTMonitorApp::checkAppStatus() {
    log("checkAppStatus-->");
    for (const auto& id : Platform::current().applications().runningApplicationIds()) {
        if (id && *id == monitoredBundleID_) {
            log("app正在运行");
            wasRunning_ = true;
            return;
        }
    }
    if (wasRunning_) {
        log("App with Bundle ID " + monitoredBundleID_ + " has exited");
        notifyAppTerminated();
    }
    log("app没在运行");
    wasRunning_ = false;
}

void ZTMonitorApp::notifyAppTerminated() {
    LocalNotificationCenter::defaultCenter().postNotificationName(names::kMainAppIsKilled);
    log("应用程序已退出: " + monitoredBundleID_);
}

}  // namespace ampwarden
