#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "charge/ZTBatteryControl.h"
#include "fake/FakePlatform.h"
#include "platform/DisplayMonitor.h"
#include "platform/MachError.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::test {
namespace {

using Lines = std::vector<std::string>;

// The whole helper, launched as root on the emulated laptop; what it logs and answers from
// then on is the scenario's.
struct Helper {
    Helper() {
        platform.smcService = &laptop;
        delegate.applicationDidFinishLaunching();
        platform.log.clear();
        platform.notifications.answers.clear();
    }
    void post(const char* name) { platform.notifications.postDarwinNotification(name); }
    Lines answers() const {
        Lines lines;
        for (const auto& answer : platform.notifications.answers) {
            lines.push_back(answer.name + " " + describeDictionary(answer.dictionary));
        }
        return lines;
    }

    FakePlatform platform;
    FakeSmcDevice laptop;
    AppDelegate delegate{platform, platform.center};
};

// The helper's fixed texts, whole: the main app and those who read the journal rely on every
// line, in order. One row per scenario: what happens, then the answers, the system log and the
// standard output it leaves.
struct Scenario {
    const char* name;
    std::function<void(Helper&)> run;
    Lines answers, system, output;
};

const Scenario kScenarios[] = {
    {"a failed open answers close",
     [](Helper& h) {
         h.laptop.openResult = kIOReturnNotPrivileged;
         h.post(names::kOpenSMC);
     },
     {"ZTBattery_TellDeamon_OpenSMC_callback {smcOpenClose = \"close\";}"},
     {},
     {"Error IOServiceOpen(): (iokit/common) privilege violation",
      "error open smc connection: permission denied"}},
    {"the charging status is read from BCLM and CH0I",
     [](Helper& h) {
         h.post(names::kOpenSMC);
         h.post(names::kQueryChargingStatus);
     },
     {"ZTBattery_TellDeamon_OpenSMC_callback {smcOpenClose = \"open\";}",
      "ZTHelper_CFNotification_Tell_BatteryApp_QuerySMCChargingStatus {chargingStatus = 0; "
      "dischargingStatus = 0;}"},
     {},
     {"intValue 100", "swift获取充电状态 100", "intValue 0", "swift获取放电状态 0"}},
    {"charge off writes CH0B now and CH0C half a second later",
     [](Helper& h) {
         h.post(names::kOpenSMC);
         h.post(names::kSetDisableCharging);
         h.platform.clock.advance(ZTBatteryControl::kSecondWriteDelaySeconds);
     },
     {"ZTBattery_TellDeamon_OpenSMC_callback {smcOpenClose = \"open\";}",
      "ZTBattery_TellDeamon_SetDisableCharging_callback {smcCtrlStatus = \"disableCharging\"; "
      "smcWritten = 1;}"},
     {"swift: 停止充电"},
     {"设置电池状态数值 2", "bytes 2", "设置电池状态数值 2", "bytes 2"}},
    {"a write the device dropped is tried again 5 s later",
     [](Helper& h) {
         h.post(names::kOpenSMC);
         h.laptop.connected.clear();
         h.post(names::kSetEnableChargingLimitMax);
         h.platform.clock.advance(4.99);
         h.laptop.connected.insert(h.laptop.lastConnection);
         h.platform.clock.advance(0.01);
     },
     {"ZTBattery_TellDeamon_OpenSMC_callback {smcOpenClose = \"open\";}",
      "ZTBattery_TellDeamon_SetEnableChargingLimitMax_callback {smcCtrlStatus = "
      "\"EnableLimitMax\"; smcNotWritten = \"BCLM\"; smcWritten = 0;}"},
     {},
     {"Error read fan value: (ipc/send) invalid destination port",
      "retrying BCLM := 80 until it is written", "BCLM := 80 written on retry"}},
    {"a display added and one removed probe the lid once each; without a discharge, nothing",
     [](Helper& h) {
         h.platform.login.lidClosed = true;
         h.platform.displayMonitor.fire(kDisplayAddFlag | kDisplayRemoveFlag);
     },
     {},
     {"14", "14"},
     {}},
    {"a discharge asked for while asleep is not answered",
     [](Helper& h) {
         h.post(names::kOpenSMC);
         h.platform.login.fireWillSleep();
         h.post(names::kSetEnableDischarging);
     },
     {"ZTBattery_TellDeamon_OpenSMC_callback {smcOpenClose = \"open\";}"},
     {},
     {"停止放电", "设置电池状态数值 0", "bytes 0"}},
    {"a closed lid seen on a display change ends a discharge",
     [](Helper& h) {
         h.post(names::kOpenSMC);
         h.post(names::kSetEnableDischarging);
         h.platform.login.lidClosed = true;
         h.platform.displayMonitor.fire(kDisplayRemoveFlag);
     },
     {"ZTBattery_TellDeamon_OpenSMC_callback {smcOpenClose = \"open\";}",
      "ZTBattery_TellDeamon_SetEnableDischarging_callback {smcCtrlStatus = \"discharging\"; "
      "smcWritten = 1;}",
      "ZTBattery_TellDeamon_SetDisableCharging_callback {smcCtrlStatus = \"disableCharging\"; "
      "smcWritten = 1;}"},
     {"14", "14", "swift: 停止充电"},
     {"开始放电", "设置电池状态数值 1", "bytes 1", "设置电池状态数值 2", "bytes 2",
      "设置电池状态数值 0", "bytes 0"}},
    {"both status queries are answered, each under its own name",
     [](Helper& h) {
         h.post(names::kQueryDaemonLoadStatus);
         h.post(names::kGlobalQueryDaemonLoadStatus);
     },
     {"PostTo_BatteryAppManager_DeamonLoadStatus {buildVersion = \"7\"; status = 1; version = "
      "\"1.0.0\";}",
      "PostTo_BatteryAppManager_GlobalDeamonLoadStatusCallback {buildVersion = \"7\"; status = 1; "
      "version = \"1.0.0\";}"},
     {"EUID: 0, UID: 0\n", "EGID: 0, GID: 0\n", "守护进程以超级用户权限执行\n",
      "启动成功后主动发送状态信息 mdict:{buildVersion = \"7\"; status = 1; version = \"1.0.0\";}",
      "EUID: 0, UID: 0\n", "EGID: 0, GID: 0\n", "守护进程以超级用户权限执行\n",
      "启动成功后主动发送状态信息 mdict:{buildVersion = \"7\"; status = 1; version = \"1.0.0\";}"},
     {}},
    {"the main app's exit gives the charging back",
     [](Helper& h) {
         h.platform.apps.running = names::kMainAppId;
         h.post(names::kOpenSMC);
         h.platform.clock.advance(10);
         h.platform.apps.running.clear();
         h.platform.clock.advance(10);
     },
     {"ZTBattery_TellDeamon_OpenSMC_callback {smcOpenClose = \"open\";}",
      "ZTBattery_TellDeamon_CloseSMC_callback {smcOpenClose = \"close\"; smcWritten = 1;}"},
     {"App with Bundle ID lumora.Battery has exited", "应用程序已退出: lumora.Battery"},
     {"设置电池状态数值 0", "bytes 0", "设置电池状态数值 100", "bytes 100", "设置电池状态数值 0",
      "bytes 0", "设置电池状态数值 0", "bytes 0"}},
};

TEST(HelperLog, EachScenarioLeavesExactlyItsLines) {
    for (const Scenario& scenario : kScenarios) {
        Helper helper;
        scenario.run(helper);
        EXPECT_EQ(helper.answers(), scenario.answers) << scenario.name;
        EXPECT_EQ(helper.platform.log.systemLines(), scenario.system) << scenario.name;
        EXPECT_EQ(helper.platform.log.stdoutLines(), scenario.output) << scenario.name;
    }
}

}  // namespace
}  // namespace ampwarden::test
