#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake/FakeDiagnostics.h"
#include "platform/DBusNames.h"
#include "platform/linux/DBusNotificationChannel.h"
#include "platform/linux/SdEventRunLoop.h"
#include "platform/linux/SystemBus.h"
#include "unit/linux/PrivateBus.h"

namespace ampwarden {
namespace {

using test::FakeDiagnostics;
using test::PrivateBus;
using test::pumpUntil;

// The helper and the main app, each with its own connection to a private bus, on one loop.
class DBusNotificationChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.running());
        helperBus = std::make_unique<SystemBus>(loop, log);
        appBus = std::make_unique<SystemBus>(loop, log);
        ASSERT_NE(helperBus->bus(), nullptr);
        ASSERT_NE(appBus->bus(), nullptr);
        helper = std::make_unique<DBusNotificationChannel>(helperBus->bus(), log);
        app = std::make_unique<DBusNotificationChannel>(appBus->bus(), log);
    }

    // Sends a Darwin signal with any signature straight onto the bus.
    template <typename... Args>
    void emitRaw(const char* signature, Args... args) {
        ASSERT_GE(sd_bus_emit_signal(appBus->bus(), dbus::kObjectPath, dbus::kInterface,
                                     dbus::kDarwinSignal, signature, args...),
                  0);
    }

    // Observes `name`, counting deliveries.
    void count(const std::string& name) {
        helper->addDarwinObserver(name,
                                  [this](const std::string& arrived) { ++received[arrived]; });
    }

    PrivateBus daemon;
    FakeDiagnostics log;
    SdEventRunLoop loop;
    std::unique_ptr<SystemBus> helperBus;
    std::unique_ptr<SystemBus> appBus;
    std::unique_ptr<DBusNotificationChannel> helper;
    std::unique_ptr<DBusNotificationChannel> app;
    std::map<std::string, int> received;
};

TEST_F(DBusNotificationChannelTest, EveryObserverOfANameHearsEachCommandOnce) {
    std::vector<std::string> calls;
    helper->addDarwinObserver("cmd", [&](const std::string& n) { calls.push_back("first " + n); });
    helper->addDarwinObserver("cmd", [&](const std::string& n) { calls.push_back("second " + n); });
    helper->addDarwinObserver("other", [&](const std::string&) { calls.push_back("other"); });
    count("sentinel");

    app->postDarwinNotification("cmd");
    app->postDarwinNotification("sentinel");
    // Signals from one sender arrive in order: once the sentinel is in, "cmd" is done.
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return received["sentinel"] == 1; }));
    EXPECT_EQ(calls, (std::vector<std::string>{"first cmd", "second cmd"}));
}

TEST_F(DBusNotificationChannelTest, MalformedAndEmptyCommandsAreIgnored) {
    count("cmd");
    count("it's");
    count("back\\slash");
    count("sentinel");

    emitRaw("ss", "cmd", "extra");
    emitRaw("i", 7);
    emitRaw("s", "");
    emitRaw("", nullptr);
    app->postDarwinNotification("it's");
    app->postDarwinNotification("back\\slash");
    app->postDarwinNotification("cmd");
    app->postDarwinNotification("sentinel");
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return received["sentinel"] == 1; }));
    EXPECT_EQ(received["cmd"], 1);
    EXPECT_EQ(received["it's"], 1);
    EXPECT_EQ(received["back\\slash"], 1);
    EXPECT_EQ(received.count(""), 0u);
}

TEST_F(DBusNotificationChannelTest, NamesTooLongForAMatchRuleStillArrive) {
    const std::string huge(64 * 1024, 'N');
    count(huge);
    count("sentinel");

    app->postDarwinNotification(huge + "x");
    app->postDarwinNotification(huge);
    app->postDarwinNotification("sentinel");
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return received["sentinel"] == 1; }));
    EXPECT_EQ(received[huge], 1);
    EXPECT_EQ(received.count(huge + "x"), 0u);
}

TEST_F(DBusNotificationChannelTest, AFloodOfCommandsIsServedAndTheChannelStaysUsable) {
    count("cmd");
    count("sentinel");
    constexpr int kFlood = 10000;
    for (int i = 0; i < kFlood; ++i) {
        if (i % 2 == 0) {
            app->postDarwinNotification("cmd");
        } else {
            emitRaw("ss", "cmd", "junk");
        }
    }
    app->postDarwinNotification("sentinel");
    ASSERT_GE(sd_bus_flush(appBus->bus()), 0);
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return received["sentinel"] == 1; }));
    EXPECT_EQ(received["cmd"], kFlood / 2);
    EXPECT_TRUE(log.lines.empty());
}

// Checks the wire types of an answer as any D-Bus client would see them.
int recordSignature(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* types = static_cast<std::map<std::string, std::string>*>(userdata);
    (*types)["signal"] = sd_bus_message_get_signature(message, 1);
    const char* name = nullptr;
    sd_bus_message_read(message, "s", &name);
    sd_bus_message_enter_container(message, 'a', "{sv}");
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        const char* contents = nullptr;
        sd_bus_message_read(message, "s", &key);
        sd_bus_message_peek_type(message, nullptr, &contents);
        (*types)[key] = contents;
        sd_bus_message_skip(message, "v");
        sd_bus_message_exit_container(message);
    }
    return 0;
}

TEST_F(DBusNotificationChannelTest, AnswersTravelWithTheirTypes) {
    std::map<std::string, std::string> wireTypes;
    sd_bus_slot* slot = nullptr;
    ASSERT_GE(
        sd_bus_match_signal(appBus->bus(), &slot, nullptr, dbus::kObjectPath, dbus::kInterface,
                            dbus::kDistributedSignal, recordSignature, &wireTypes),
        0);
    sd::SlotPtr owned(slot);
    std::vector<std::pair<std::string, NotificationDictionary>> answers;
    app->addDistributedObserver([&](const std::string& name, const NotificationDictionary& d) {
        answers.emplace_back(name, d);
    });

    const NotificationDictionary sent = {{"text", std::string("开始重启")},
                                         {"int", std::int32_t{-5}},
                                         {"integer", std::int64_t{1} << 40}};
    helper->postDistributedNotification("answer", sent);
    helper->postDistributedNotification("empty", {});
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return answers.size() == 2; }));

    EXPECT_EQ(wireTypes, (std::map<std::string, std::string>{
                             {"signal", "sa{sv}"}, {"text", "s"}, {"int", "i"}, {"integer", "x"}}));
    EXPECT_EQ(answers[0].first, "answer");
    EXPECT_EQ(answers[0].second, sent);
    EXPECT_EQ(answers[1].first, "empty");
    EXPECT_TRUE(answers[1].second.empty());
}

TEST_F(DBusNotificationChannelTest, AnswerValuesOfOtherTypesAreSkipped) {
    std::vector<NotificationDictionary> answers;
    app->addDistributedObserver(
        [&](const std::string&, const NotificationDictionary& d) { answers.push_back(d); });

    ASSERT_GE(sd_bus_emit_signal(helperBus->bus(), dbus::kObjectPath, dbus::kInterface,
                                 dbus::kDistributedSignal, "sa{sv}", "answer", 3, "flag", "b", 1,
                                 "list", "as", 1, "x", "kept", "u", 9u),
              0);
    ASSERT_GE(sd_bus_emit_signal(helperBus->bus(), dbus::kObjectPath, dbus::kInterface,
                                 dbus::kDistributedSignal, "s", "no dictionary"),
              0);
    helper->postDistributedNotification("valid", {{"kept", std::int32_t{1}}});
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return answers.size() == 2; }));
    EXPECT_TRUE(answers[0].empty());
    EXPECT_EQ(answers[1], (NotificationDictionary{{"kept", std::int32_t{1}}}));
}

TEST(SystemBusTest, LosingTheBusEndsTheLoopWithAnError) {
    PrivateBus daemon;
    ASSERT_TRUE(daemon.running());
    FakeDiagnostics log;
    SdEventRunLoop loop;
    SystemBus bus(loop, log);
    ASSERT_NE(bus.bus(), nullptr);
    loop.after(0, [&] { daemon.stop(); });
    loop.after(20, [&] { loop.quit(99); });  // guard only

    EXPECT_EQ(loop.run(), SystemBus::kLostBusExitCode);
    EXPECT_EQ(log.systemLines().size(), 1u);
}

TEST(SystemBusTest, NoBusToConnectToIsAnErrorToo) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ampwarden-bus", 1);
    FakeDiagnostics log;
    SdEventRunLoop loop;
    SystemBus bus(loop, log);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

    EXPECT_EQ(bus.bus(), nullptr);
    EXPECT_EQ(loop.run(), SystemBus::kLostBusExitCode);
    EXPECT_EQ(log.systemLines().size(), 1u);
    DBusNotificationChannel channel(bus.bus(), log);
    channel.postDarwinNotification("nothing happens");
}

}  // namespace
}  // namespace ampwarden
