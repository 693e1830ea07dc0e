#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "ampwardenctl/BatteryApp.h"
#include "fake/FakeCommandSender.h"
#include "fake/FakeDiagnostics.h"
#include "fake/FakeHostTree.h"
#include "fake/FakeLoginManager.h"
#include "fake/FakePowerSource.h"
#include "fake/FakeRunLoop.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

using Commands = std::vector<std::string>;
using namespace names;

Answer answer(const std::string& name,
              std::vector<std::pair<std::string, AnswerValue>> values = {}) {
    return {name, std::move(values)};
}

// A charge command whose key the helper could not write.
Answer notWritten(const std::string& name, const std::string& keys) {
    return answer(name,
                  {{kSmcWrittenKey, {"i", std::int64_t{0}}}, {kSmcNotWrittenKey, {"s", keys}}});
}

// What the desktop was told: "topic: summary".
struct RecordingNotifier : Notifier {
    void notify(const std::string& topic, const std::string& summary, const std::string&) override {
        shown.push_back(topic + ": " + summary);
    }
    std::vector<std::string> take() { return std::exchange(shown, {}); }
    std::vector<std::string> shown;
};

class BatteryAppTest : public ::testing::Test {
  protected:
    void start(BatterySettings settings, PowerReading battery, std::string settingsFile = "") {
        power.reading = battery;
        app.reset();  // an app started again: the old one's waits end with it
        loop.dropPending();
        app = std::make_unique<BatteryApp>(
            BatteryApp::Parts{loop, login, power, sender, log, desktop,
                              [](bool authorisation) {
                                  return authorisation ? "not authorised" : "not running";
                              }},
            settings, BatteryApp::Files{std::move(settingsFile), "", fullOnceFile});
        std::string error;
        ASSERT_TRUE(app->start("owning it", error)) << error;
    }

    // The helper answers the app's status question; the app opens the SMC and applies.
    Commands helperAnswers() {
        EXPECT_EQ(sender.take(), Commands{kQueryDaemonLoadStatus});
        sender.deliver(answer(kDaemonLoadStatusAnswer));
        return sender.take();
    }

    bool logged(const std::string& text) const {
        for (const auto& line : log.systemLines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    test::FakeRunLoop loop;
    test::FakeLoginManager login;
    test::FakePowerSource power;
    test::FakeCommandSender sender;
    test::FakeDiagnostics log;
    RecordingNotifier desktop;
    std::string fullOnceFile;
    std::unique_ptr<BatteryApp> app;
};

TEST_F(BatteryAppTest, HoldsTheRangeAndAppliesItAgainAfterWakeAndAfterAHelperRestart) {
    start({true, 75, 80, {}}, {78, true});
    power.set({81, true});  // nothing is decided before the helper is heard from
    EXPECT_EQ(app->helper(), HelperState::NotHeardFrom);
    power.set({78, true});
    const Commands everything{kOpenSMC, kSetDisableDischarging, kSetEnableCharging,
                              kSetEnableChargingLimitMax};
    EXPECT_EQ(helperAnswers(), everything);
    sender.deliver(answer(kOpenSMCAnswer, {{kSmcOpenCloseKey, {"s", std::string(kOpen)}}}));
    EXPECT_EQ(app->helper(), HelperState::SmcOpen);

    power.set({80, true});
    EXPECT_EQ(sender.take(), Commands{kSetDisableCharging});
    power.set({77, true});  // sailing down: nothing to say
    EXPECT_EQ(sender.take(), Commands{});
    EXPECT_EQ(app->hold(), Hold::Stopped);
    power.set({75, true});
    EXPECT_EQ(sender.take(), (Commands{kSetEnableCharging, kSetEnableChargingLimitMax}));

    // Sleep is let go at once; after the wake everything is said again.
    login.fireWillSleep();
    EXPECT_EQ(login.sleepWorkDoneCalls, 1);
    login.fireDidWake();
    EXPECT_EQ(sender.take(),
              (Commands{kSetDisableDischarging, kSetEnableCharging, kSetEnableChargingLimitMax}));

    // Someone else's status question changes nothing; a restarted helper is asked and served.
    sender.deliver(answer(kDaemonLoadStatusAnswer));
    EXPECT_EQ(sender.take(), Commands{});
    sender.deliver(answer(kGlobalDaemonLoadStatusAnswer));
    EXPECT_EQ(helperAnswers(), everything);
    loop.advance(BatteryApp::kAnswerWaitSeconds);
    EXPECT_EQ(app->helper(), HelperState::NotAnswering);
    EXPECT_TRUE(logged("the helper did not answer \"open\": not authorised"));
}

TEST_F(BatteryAppTest, AStopThatDidNotLandIsToldOnceAndSentAgainOnTheNextReading) {
    start({{}, 75, 80, {}}, {85, false});
    loop.advance(BatteryApp::kAnswerWaitSeconds);
    EXPECT_TRUE(logged("the helper does not answer: not running"));
    EXPECT_EQ(helperAnswers(), (Commands{kOpenSMC, kSetDisableDischarging, kSetDisableCharging}));
    sender.deliver(answer(kOpenSMCAnswer, {{kSmcOpenCloseKey, {"s", std::string(kClose)}}}));
    EXPECT_EQ(app->helper(), HelperState::SmcNotOpen);

    for (int level : {86, 87}) {
        sender.deliver(notWritten(kSetDisableChargingAnswer, "CH0B"));
        EXPECT_EQ(app->hold(), Hold::Unknown);
        power.set({level, false});
        EXPECT_EQ(sender.take(), (Commands{kSetDisableDischarging, kSetDisableCharging}));
    }
    ASSERT_EQ(log.systemLines().size(), 3u);  // the silence, the failure, the limit-only hint
    EXPECT_TRUE(logged("charging was not stopped: the helper could not write CH0B"));
    EXPECT_TRUE(logged("'keep = 75-80' can only work through the charge limit"));
    sender.deliver(answer(kSetDisableChargingAnswer, {{kSmcWrittenKey, {"i", std::int64_t{1}}}}));
    sender.deliver(notWritten(kSetDisableChargingAnswer, "CH0B"));
    EXPECT_EQ(log.systemLines().size(), 4u);  // told again after it once worked
}

// The limit lifted and charging released, through a helper restart and an app restart, until
// full or unplugged; then everything the settings need is said again.
TEST_F(BatteryAppTest, ChargesToFullOnceThenHoldsTheSettingsAgain) {
    const Commands toFull{kSetDisableDischarging, kSetEnableCharging, kSetDisableChargingLimitMax};
    const Commands back{kSetDisableDischarging, kSetDisableCharging, kSetEnableChargingLimitMax};
    test::FakeHostTree home;
    fullOnceFile = home.root() + "/state/lumora/charge-to-full-once";
    start({true, 75, 80, {}}, {80, true});
    helperAnswers();
    app->chargeToFullOnce();
    EXPECT_EQ(sender.take(), toFull);
    sender.deliver(answer(kGlobalDaemonLoadStatusAnswer));
    EXPECT_EQ(helperAnswers(), (Commands{kOpenSMC, kSetDisableDischarging, kSetEnableCharging,
                                         kSetDisableChargingLimitMax}));
    loop.advance(60);
    power.set({90, true});
    EXPECT_EQ(sender.take(), Commands{});
    start({true, 75, 80, {}}, {90, true});
    EXPECT_TRUE(app->chargingToFull());
    EXPECT_EQ(helperAnswers(), (Commands{kOpenSMC, kSetDisableDischarging, kSetEnableCharging,
                                         kSetDisableChargingLimitMax}));
    power.set({100, true});
    EXPECT_EQ(sender.take(), back);
    EXPECT_FALSE(app->chargingToFull());
    EXPECT_NE(::access(fullOnceFile.c_str(), F_OK), 0);  // a later start holds the settings
    app->chargeToFullOnce();                             // full already: nothing to do
    EXPECT_EQ(sender.take(), Commands{});

    power.set({78, true});
    app->chargeToFullOnce();
    EXPECT_EQ(sender.take(), toFull);
    power.set({85, false});
    EXPECT_EQ(sender.take(), back);
    EXPECT_EQ(app->hold(), Hold::Stopped);
}

// A change from the desktop or `ampwardenctl keep` takes effect at once and is in the file for
// the next start; one that cannot be kept is not made at all.
TEST_F(BatteryAppTest, ASettingChangeTakesEffectAtOnceAndIsKeptOrNotMadeAtAll) {
    test::FakeHostTree home;
    home.write("/battery.conf", "limit = on  # mine\nkeep = 75-80\n");
    start({true, 75, 80, {}}, {85, true}, home.root() + "/battery.conf");
    int changes = 0;
    app->onChange([&changes] { ++changes; });
    helperAnswers();
    EXPECT_EQ(app->holding(), "charging stopped");

    // No level to hold any more: what the old one held is given back, the limit set again.
    EXPECT_EQ(app->change({{"keep", std::nullopt}}), std::nullopt);
    EXPECT_EQ(sender.take(), (Commands{kSetEnableCharging, kSetEnableChargingLimitMax}));
    EXPECT_EQ(app->holding(), "nothing");
    EXPECT_EQ(app->change({{"keep", "60-70"}}), std::nullopt);
    EXPECT_EQ(sender.take(),
              (Commands{kSetDisableDischarging, kSetDisableCharging, kSetEnableChargingLimitMax}));
    EXPECT_EQ(home.read("/battery.conf"), "limit = on  # mine\nkeep = 60-70");
    EXPECT_GT(changes, 0);

    auto refused = app->change({{"keep", "70-60"}});
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->badValue);
    home.remove("/battery.conf");
    home.write("/battery.conf/x", "");  // a folder where the file was: it cannot keep anything
    refused = app->change({{"limit", "off"}});
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->badValue);
    EXPECT_EQ(sender.take(), Commands{});
    EXPECT_EQ(app->settings(), (BatterySettings{true, 60, 70, {}}));
}

// Each trouble reaches the desktop once, until it changes or ends; the routine holds only when
// asked for, and nothing at all when notices are off.
TEST_F(BatteryAppTest, TellsTheDesktopOfEachTroubleOnceUntilItChanges) {
    using Shown = std::vector<std::string>;
    start({{}, 75, 80, {}}, {std::nullopt, true});
    power.set({std::nullopt, false});
    loop.advance(BatteryApp::kAnswerWaitSeconds);
    EXPECT_EQ(desktop.take(),
              (Shown{"battery: No battery found", "helper: The battery helper does not answer"}));
    helperAnswers();
    sender.deliver(answer(kOpenSMCAnswer, {{kSmcOpenCloseKey, {"s", std::string(kClose)}}}));
    EXPECT_EQ(desktop.take(), Shown{"helper: The battery cannot be held"});

    power.set({85, false});
    power.set({std::nullopt, false});  // gone again after it was found: told again
    for (int i = 0; i < 2; ++i) sender.deliver(notWritten(kSetDisableChargingAnswer, "CH0B"));
    EXPECT_EQ(desktop.take(),
              (Shown{"battery: No battery found", "write: A battery setting did not take effect"}));
    sender.deliver(notWritten(kSetDisableChargingAnswer, "CH0B CH0C"));  // a new failure
    EXPECT_EQ(desktop.take().size(), 1u);
    sender.take();

    BatterySettings quiet{{}, 75, 80, {}};
    quiet.notify = false;
    quiet.notifyHolds = true;
    start(quiet, {std::nullopt, true});
    loop.advance(BatteryApp::kAnswerWaitSeconds);
    helperAnswers();
    power.set({85, true});
    EXPECT_EQ(desktop.take(),
              (Shown{"hold: Battery: charging allowed", "hold: Battery: charging stopped"}));
}

// A helper that stops answering the app's commands is told once; its first answer afterwards
// has the app ask it how it is and say everything again.
TEST_F(BatteryAppTest, AHelperThatStopsAnsweringIsToldOnceAndServedAgainWhenItAnswers) {
    start({{}, 75, 80, {}}, {78, true});
    helperAnswers();
    sender.deliver(answer(kOpenSMCAnswer, {{kSmcOpenCloseKey, {"s", std::string(kOpen)}}}));
    // Going to sleep, the helper may leave a command unanswered: that is no silence.
    login.fireWillSleep();
    power.set({80, true});
    loop.advance(BatteryApp::kAnswerWaitSeconds);
    EXPECT_EQ(app->helper(), HelperState::SmcOpen);
    login.fireDidWake();
    loop.advance(BatteryApp::kAnswerWaitSeconds);
    EXPECT_EQ(app->helper(), HelperState::NotAnswering);
    power.set({75, true});
    loop.advance(BatteryApp::kAnswerWaitSeconds);
    EXPECT_EQ(desktop.take(),
              std::vector<std::string>{"helper: The battery helper does not answer"});
    EXPECT_TRUE(logged("the helper stopped answering: not authorised"));

    sender.take();
    sender.deliver(answer(kSetDisableChargingAnswer, {{kSmcWrittenKey, {"i", std::int64_t{1}}}}));
    EXPECT_EQ(helperAnswers(), (Commands{kOpenSMC, kSetDisableDischarging, kSetEnableCharging}));
    EXPECT_EQ(app->helper(), HelperState::Running);
}

TEST_F(BatteryAppTest, TheWayOutClosesOnlyWhatTheAppOpenedAndSaysWhatDidNotHappen) {
    start({}, {50, true});
    helperAnswers();
    EXPECT_EQ(app->finish(), 0);  // nothing set: nothing opened, nothing closed
    EXPECT_EQ(sender.take(), Commands{});

    start({true, {}, {}, {}}, {50, true});
    helperAnswers();
    sender.whileDraining = [this] {
        power.set({90, true});  // no command after "close"
        sender.deliver(notWritten(kCloseSMCAnswer, "CH0B CH0C"));
    };
    EXPECT_EQ(app->finish(), 1);
    EXPECT_EQ(sender.take(), Commands{kCloseSMC});
    EXPECT_EQ(sender.drained, BatteryApp::kCloseAnswerSeconds);
    EXPECT_TRUE(
        logged("posted \"close\", but charging was not fully given back: the helper "
               "could not write CH0B CH0C"));

    start({true, {}, {}, {}}, {50, true});
    helperAnswers();
    sender.whileDraining = nullptr;
    EXPECT_EQ(app->finish(), 0);
    EXPECT_EQ(log.stdoutLines().back(), "posted \"close\"; the helper did not answer it");
}

}  // namespace
}  // namespace ampwarden::ctl
