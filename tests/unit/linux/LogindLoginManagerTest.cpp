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
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

// A private bus with python-dbusmock's logind template on it, driven through its Mock
// interface.
class LogindLoginManagerTest : public ::testing::Test {
  protected:
    template <typename... Args>
    bool call(const char* path, const char* interface, const char* member, const char* types,
              Args... args) {
        return sd_bus_call_method(bus.bus(), kLogind, path, interface, member, nullptr, nullptr,
                                  types, args...) >= 0;
    }

    test::PrivateBus daemon;
    test::FakeDiagnostics log;
    SdEventRunLoop loop;
    SystemBus bus{loop, log};
    LogindLoginManager login{bus.bus(), log};
};

// Until logind is there nothing is known, and each kind of failure is logged once.
TEST_F(LogindLoginManagerTest, ConsoleUserAndLidComeFromLogindOnceItIsThere) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(login.consoleUser(), std::nullopt);
        EXPECT_EQ(login.clamshellClosed(), std::nullopt);
        login.setSleepHandlers([] {}, [] {});
    }
    EXPECT_EQ(log.systemLines().size(), 3u);  // seat, lid, inhibitor

    ASSERT_TRUE(daemon.startMock(
        {"/usr/bin/python3", "-m", "dbusmock", "--template", "logind", "-l", "/dev/null"}));
    ASSERT_TRUE(test::pumpUntil(loop.event(), [this] {  // up once it answers a ping
        return call(kManagerPath, "org.freedesktop.DBus.Peer", "Ping", "");
    }));
    ASSERT_TRUE(call(kManagerPath, kMock, "AddSeat", "s", "seat0"));
    EXPECT_EQ(login.consoleUser(), std::nullopt);  // nobody active
    ASSERT_TRUE(call(kManagerPath, kMock, "AddSession", "ssusb", "c1", "seat0", 1000u, "alice", 1));
    EXPECT_EQ(login.consoleUser(), "alice");
    ASSERT_TRUE(call("/org/freedesktop/login1/session/c1", "org.freedesktop.DBus.Properties", "Set",
                     "ssv", "org.freedesktop.login1.Session", "Class", "s", "greeter"));
    EXPECT_EQ(login.consoleUser(), "loginWindow");

    EXPECT_EQ(login.clamshellClosed(), std::nullopt);  // this logind does not know
    ASSERT_TRUE(call(kManagerPath, kMock, "AddProperty", "ssv", "org.freedesktop.login1.Manager",
                     "LidClosed", "b", 1));
    EXPECT_EQ(login.clamshellClosed(), true);

    // A backlog of commands waits on the main connection: the question neither waits behind
    // it nor reads it into memory.
    sd_bus_slot* rawSlot = nullptr;
    ASSERT_GE(sd_bus_match_signal(bus.bus(), &rawSlot, nullptr, nullptr, "test.Flood", "Command",
                                  nullptr, nullptr),
              0);
    const sd::SlotPtr match(rawSlot);
    sd_bus* rawSender = nullptr;
    ASSERT_GE(sd_bus_open_system(&rawSender), 0);
    const sd::BusPtr sender(rawSender);
    for (int i = 0; i < 2000; ++i)
        sd_bus_emit_signal(rawSender, "/test", "test.Flood", "Command", "");
    // The bus daemon handles a connection's messages in order: once it answers, all went out.
    ASSERT_GE(sd_bus_call_method(rawSender, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, ""),
              0);
    EXPECT_EQ(login.clamshellClosed(), true);
    EXPECT_EQ(login.consoleUser(), "loginWindow");
    std::uint64_t queued = 0;
    ASSERT_GE(sd_bus_get_n_queued_read(bus.bus(), &queued), 0);
    EXPECT_EQ(queued, 0u);
}

}  // namespace
}  // namespace ampwarden
