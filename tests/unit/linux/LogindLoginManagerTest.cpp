#include <gtest/gtest.h>

#include <string>

#include "fake/FakeDiagnostics.h"
#include "platform/linux/LogindLoginManager.h"
#include "platform/linux/SdEventRunLoop.h"
#include "platform/linux/SystemBus.h"
#include "unit/linux/PrivateBus.h"

namespace ampwarden {
namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

// A private bus with python-dbusmock's logind template on it, driven through its Mock
// interface.
class LogindLoginManagerTest : public ::testing::Test {
  protected:
    void startLogind() {
        ASSERT_TRUE(daemon.startMock(
            {"/usr/bin/python3", "-m", "dbusmock", "--template", "logind", "-l", "/dev/null"}));
        ASSERT_TRUE(test::pumpUntil(loop.event(), [this] {
            sd_bus_message* reply = nullptr;
            int owned = 0;
            sd_bus_call_method(bus.bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               kLogind);
            sd::MessagePtr owner(reply);
            return reply != nullptr && sd_bus_message_read(reply, "b", &owned) > 0 && owned;
        }));
    }

    template <typename... Args>
    sd::MessagePtr call(const char* path, const char* interface, const char* member,
                        const char* types, Args... args) {
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(bus.bus(), kLogind, path, interface, member, nullptr,
                                         &reply, types, args...);
        EXPECT_GE(r, 0) << member;
        return sd::MessagePtr(reply);
    }

    // Our delay inhibitors, as logind lists them.
    int inhibitors() {
        auto reply = call(kManagerPath, kManager, "ListInhibitors", "");
        const char *what, *who, *why, *mode;
        unsigned uid, pid;
        int count = 0;
        sd_bus_message_enter_container(reply.get(), 'a', "(ssssuu)");
        while (sd_bus_message_read(reply.get(), "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) >
               0) {
            count += std::string(what) + who + mode == "sleepAmpwardendelay";
        }
        return count;
    }

    test::PrivateBus daemon;
    test::FakeDiagnostics log;
    SdEventRunLoop loop;
    SystemBus bus{loop, log};
    LogindLoginManager login{bus.bus(), log};
};

TEST_F(LogindLoginManagerTest, WithoutLogindNothingIsKnownAndEachFailureIsLoggedOnce) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(login.consoleUser(), std::nullopt);
        EXPECT_EQ(login.clamshellClosed(), std::nullopt);
        login.setSleepHandlers([] {}, [] {});
    }
    EXPECT_FALSE(login.holdsSleepInhibitor());
    EXPECT_EQ(log.systemLines().size(), 3u);  // seat, lid, inhibitor
}

TEST_F(LogindLoginManagerTest, ConsoleUserAndLidComeFromLogind) {
    startLogind();
    EXPECT_EQ(login.consoleUser(), std::nullopt);  // no seat0
    call(kManagerPath, kMock, "AddSeat", "s", "seat0");
    EXPECT_EQ(login.consoleUser(), std::nullopt);  // nobody active
    call(kManagerPath, kMock, "AddSession", "ssusb", "c1", "seat0", 1000u, "alice", 1);
    EXPECT_EQ(login.consoleUser(), "alice");
    call("/org/freedesktop/login1/session/c1", "org.freedesktop.DBus.Properties", "Set", "ssv",
         "org.freedesktop.login1.Session", "Class", "s", "greeter");
    EXPECT_EQ(login.consoleUser(), "loginWindow");

    EXPECT_EQ(login.clamshellClosed(), std::nullopt);  // this logind does not know
    call(kManagerPath, kMock, "AddProperty", "ssv", kManager, "LidClosed", "b", 1);
    EXPECT_EQ(login.clamshellClosed(), true);
}

TEST_F(LogindLoginManagerTest, SleepWaitsForTheWorkAndTheDelayReturnsOnWake) {
    startLogind();
    int willSleep = 0;
    int didWake = 0;
    login.setSleepHandlers([&] { ++willSleep; }, [&] { ++didWake; });
    EXPECT_EQ(inhibitors(), 1);

    call(kManagerPath, kMock, "EmitSignal", "sssav", kManager, "PrepareForSleep", "b", 1, "b", 1);
    ASSERT_TRUE(test::pumpUntil(loop.event(), [&] { return willSleep == 1; }));
    login.sleepWorkDone();
    ASSERT_TRUE(test::pumpUntil(loop.event(), [&] { return inhibitors() == 0; }));

    call(kManagerPath, kMock, "EmitSignal", "sssav", kManager, "PrepareForSleep", "b", 1, "b", 0);
    ASSERT_TRUE(test::pumpUntil(loop.event(), [&] { return didWake == 1; }));
    EXPECT_EQ(willSleep, 1);
    EXPECT_EQ(inhibitors(), 1);
    EXPECT_TRUE(log.empty());
}

}  // namespace
}  // namespace ampwarden
