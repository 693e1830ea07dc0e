#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <string>

#include "fake/FakeDiagnostics.h"
#include "platform/linux/LogindLoginManager.h"
#include "platform/linux/SdEventRunLoop.h"
#include "platform/linux/SystemBus.h"
#include "unit/linux/PrivateBus.h"

namespace ampwarden {
namespace {

using test::pumpUntil;

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

// A private bus with python-dbusmock's logind template on it, driven through its Mock
// interface the way a test of any logind client would.
class LogindLoginManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.running());
        bus = std::make_unique<SystemBus>(loop, log);
        ASSERT_NE(bus->bus(), nullptr);
        login = std::make_unique<LogindLoginManager>(bus->bus(), log);
    }
    void TearDown() override {
        if (mockPid > 0) {
            kill(mockPid, SIGTERM);
            waitpid(mockPid, nullptr, 0);
        }
    }

    void startLogind() {
        mockPid = daemon.spawn({"/usr/bin/python3", "-m", "dbusmock", "--template", "logind"});
        ASSERT_GT(mockPid, 0);
        ASSERT_TRUE(pumpUntil(loop.event(), [this] { return logindIsUp(); }));
    }

    bool logindIsUp() {
        int owned = 0;
        sd_bus_message* reply = nullptr;
        sd_bus_call_method(bus->bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s", kLogind);
        sd::MessagePtr owner(reply);
        return reply != nullptr && sd_bus_message_read(reply, "b", &owned) > 0 && owned;
    }

    template <typename... Args>
    void call(const char* path, const char* interface, const char* member, const char* types,
              Args... args) {
        sd::BusError error;
        sd_bus_message* reply = nullptr;
        const int r = sd_bus_call_method(bus->bus(), kLogind, path, interface, member, error.get(),
                                         &reply, types, args...);
        sd::MessagePtr owned(reply);
        ASSERT_GE(r, 0) << member << ": " << error.message();
    }

    void setProperty(const char* path, const char* interface, const char* name, const char* type,
                     auto value) {
        call(path, "org.freedesktop.DBus.Properties", "Set", "ssv", interface, name, type, value);
    }

    unsigned inhibitors() {
        sd_bus_message* reply = nullptr;
        sd_bus_call_method(bus->bus(), kLogind, kManagerPath, kManager, "ListInhibitors", nullptr,
                           &reply, "");
        sd::MessagePtr owned(reply);
        unsigned count = 0;
        const char *what, *who, *why, *mode;
        unsigned uid, pid;
        if (reply == nullptr || sd_bus_message_enter_container(reply, 'a', "(ssssuu)") <= 0) {
            return 0;
        }
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
            if (std::string(what) == "sleep" && std::string(who) == "Ampwarden" &&
                std::string(mode) == "delay") {
                ++count;
            }
        }
        return count;
    }

    void emitPrepareForSleep(bool sleeping) {
        call(kManagerPath, kMock, "EmitSignal", "sssav", kManager, "PrepareForSleep", "b", 1, "b",
             static_cast<int>(sleeping));
    }

    test::PrivateBus daemon;
    test::FakeDiagnostics log;
    SdEventRunLoop loop;
    std::unique_ptr<SystemBus> bus;
    std::unique_ptr<LogindLoginManager> login;
    pid_t mockPid = -1;
};

TEST_F(LogindLoginManagerTest, WithoutLogindNothingIsKnownAndEachFailureIsLoggedOnce) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(login->consoleUser(), std::nullopt);
        EXPECT_EQ(login->clamshellClosed(), std::nullopt);
    }
    login->setSleepHandlers([] {}, [] {});
    login->sleepWorkDone();
    login->setSleepHandlers([] {}, [] {});
    EXPECT_FALSE(login->holdsSleepInhibitor());
    EXPECT_EQ(log.systemLines().size(), 3u);  // seat, lid, inhibitor
}

TEST_F(LogindLoginManagerTest, TheConsoleUserIsTheActiveSessionOfSeat0) {
    startLogind();
    EXPECT_EQ(login->consoleUser(), std::nullopt);  // no seat0

    call(kManagerPath, kMock, "AddSeat", "s", "seat0");
    EXPECT_EQ(login->consoleUser(), std::nullopt);  // nobody active

    call(kManagerPath, kMock, "AddSession", "ssusb", "c1", "seat0", 1000u, "alice", 1);
    EXPECT_EQ(login->consoleUser(), "alice");

    setProperty("/org/freedesktop/login1/session/c1", "org.freedesktop.login1.Session", "Class",
                "s", "greeter");
    EXPECT_EQ(login->consoleUser(), "loginWindow");
}

TEST_F(LogindLoginManagerTest, TheLidIsReadFromLogind) {
    startLogind();
    EXPECT_EQ(login->clamshellClosed(), std::nullopt);  // this logind does not know

    call(kManagerPath, kMock, "AddProperty", "ssv", kManager, "LidClosed", "b", 1);
    EXPECT_EQ(login->clamshellClosed(), true);
    setProperty(kManagerPath, kManager, "LidClosed", "b", 0);
    EXPECT_EQ(login->clamshellClosed(), false);
}

TEST_F(LogindLoginManagerTest, SleepIsDelayedUntilTheWorkIsDoneAndTheDelayReturnsOnWake) {
    startLogind();
    int willSleep = 0;
    int didWake = 0;
    login->setSleepHandlers([&] { ++willSleep; }, [&] { ++didWake; });
    EXPECT_TRUE(login->holdsSleepInhibitor());
    EXPECT_EQ(inhibitors(), 1u);

    emitPrepareForSleep(true);
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return willSleep == 1; }));
    EXPECT_EQ(didWake, 0);
    login->sleepWorkDone();
    EXPECT_FALSE(login->holdsSleepInhibitor());
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return inhibitors() == 0; }));

    emitPrepareForSleep(false);
    ASSERT_TRUE(pumpUntil(loop.event(), [&] { return didWake == 1; }));
    EXPECT_EQ(willSleep, 1);
    EXPECT_TRUE(login->holdsSleepInhibitor());
    EXPECT_EQ(inhibitors(), 1u);
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace ampwarden
