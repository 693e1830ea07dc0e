#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake/FakeDiagnostics.h"
#include "platform/DBusNames.h"
#include "platform/linux/CallbackGuard.h"
#include "platform/linux/DBusNotificationChannel.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/SdEventRunLoop.h"
#include "platform/linux/SystemBus.h"
#include "unit/linux/PrivateBus.h"

namespace ampwarden {
namespace {

// The helper and the main app, each with its own connection to a private bus, on one loop.
// Signals from one sender arrive in order, so once a final "sentinel" command is in, every
// command sent before it has been delivered or dropped.
class DBusNotificationChannelTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(daemon.running() && helperBus.bus() && appBus.bus()); }

    template <typename... Args>
    void emit(SystemBus& from, const char* member, const char* signature, Args... args) {
        ASSERT_GE(sd_bus_emit_signal(from.bus(), dbus::kObjectPath, dbus::kInterface, member,
                                     signature, args...),
                  0);
    }
    void count(const std::string& name) {
        helper.addDarwinObserver(name, [this](const std::string& arrived) { ++received[arrived]; });
    }

    test::PrivateBus daemon;
    test::FakeDiagnostics log;
    SdEventRunLoop loop;
    SystemBus helperBus{loop, log};
    SystemBus appBus{loop, log};
    DBusNotificationChannel helper{helperBus.bus(), log};
    DBusNotificationChannel app{appBus.bus(), log};
    std::map<std::string, int> received;
};

// Every observer of a name hears each of its commands once, however odd the name. An
// exception must not unwind through libsystemd: it is logged and the helper ends non-zero.
TEST_F(DBusNotificationChannelTest, OddlyNamedCommandsReachEachObserverOnceAndAThrowEndsTheLoop) {
    const std::string huge(64 * 1024, 'N');  // far beyond what a match rule may hold
    const std::string names[] = {"cmd", "it's", "a\\b", huge, huge + "x", "sentinel"};
    for (const auto& name : names) {
        if (name != huge + "x") count(name);
    }
    count("cmd");  // a second observer
    emit(appBus, dbus::kDarwinSignal, "ss", "cmd", "extra");
    emit(appBus, dbus::kDarwinSignal, "s", "");  // other signatures are the end-to-end test's
    for (const auto& name : names) app.postDarwinNotification(name);
    ASSERT_TRUE(test::pumpUntil(loop.event(), [&] { return received["sentinel"] == 1; }));
    EXPECT_EQ(received, (std::map<std::string, int>{
                            {"cmd", 2}, {"it's", 1}, {"a\\b", 1}, {huge, 1}, {"sentinel", 1}}));

    helper.addDarwinObserver("throw", [](const std::string&) { throw std::runtime_error("boom"); });
    app.postDarwinNotification("throw");
    testing::internal::CaptureStderr();
    EXPECT_EQ(loop.run(), CallbackGuard::kExitCode);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("a command handler failed: boom"),
              std::string::npos);
}

// The decoder takes only s, i and x and keeps the variant's type, so a round trip also pins
// the wire types.
TEST_F(DBusNotificationChannelTest, AnswersKeepTheirTypesAndOtherValueTypesAreSkipped) {
    std::vector<std::pair<std::string, NotificationDictionary>> answers;
    app.addDistributedObserver([&](const std::string& name, const NotificationDictionary& d) {
        answers.emplace_back(name, d);
    });
    const NotificationDictionary sent = {
        {"text", std::string("开始重启")}, {"int", -5}, {"integer", std::int64_t{1} << 40}};
    helper.postDistributedNotification("answer", sent);
    emit(helperBus, dbus::kDistributedSignal, "s", "no dictionary");
    emit(helperBus, dbus::kDistributedSignal, "sa{sv}", "odd", 3, "flag", "b", 1, "list", "as", 1,
         "x", "kept", "i", 9);
    ASSERT_TRUE(test::pumpUntil(loop.event(), [&] { return answers.size() == 2; }));
    EXPECT_EQ(answers[0], std::make_pair(std::string("answer"), sent));
    EXPECT_EQ(answers[1].second, (NotificationDictionary{{"kept", 9}}));
}

// Losing the bus while running is the end-to-end start-up test's.
TEST(SystemBusTest, NoBusEndsTheLoopWithAnErrorAndWhatNeedsNoBusNeverConnects) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ampwarden-bus", 1);
    setenv("AMPWARDEN_SMC_BACKEND", "emulator", 1);  // a test never probes the real machine
    {
        // A tool that only needs the SMC, the logs and processes must work without any bus: a
        // connection attempt would already have ended the loop with its own code.
        LinuxPlatform platform;
        std::vector<io_service_t> found;  // the first call chooses the backend
        EXPECT_EQ(platform.smc().getMatchingServices("AppleSMC", found), 0);
        EXPECT_TRUE(platform.processes().run({"/bin/true"}));
        platform.runLoop().after(0, [&] { platform.runLoop().quit(5); });
        EXPECT_EQ(platform.runLoop().run(), 5);
    }
    test::FakeDiagnostics log;
    SdEventRunLoop loop;
    SystemBus none(loop, log);
    EXPECT_EQ(loop.run(), SystemBus::kLostBusExitCode);
    DBusNotificationChannel(none.bus(), log).postDarwinNotification("no bus, no harm");
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    unsetenv("AMPWARDEN_SMC_BACKEND");
}

}  // namespace
}  // namespace ampwarden
