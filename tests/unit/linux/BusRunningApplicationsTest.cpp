#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake/FakeDiagnostics.h"
#include "platform/linux/BusRunningApplications.h"
#include "platform/linux/SdEventRunLoop.h"
#include "platform/linux/SystemBus.h"
#include "unit/linux/PrivateBus.h"

namespace ampwarden {
namespace {

using ::testing::Contains;
using ::testing::Not;
using Ids = std::vector<std::optional<std::string>>;

TEST(BusRunningApplicationsTest, TheMainAppRunsWhileItsNameIsOwned) {
    test::PrivateBus daemon;
    ASSERT_TRUE(daemon.running());
    test::FakeDiagnostics log;
    SdEventRunLoop loop;
    SystemBus helperBus(loop, log);
    SystemBus appBus(loop, log);
    BusRunningApplications apps(helperBus.bus(), log);

    EXPECT_THAT(apps.runningApplicationIds(), Not(Contains(std::string("lumora.Battery"))));
    ASSERT_GE(sd_bus_request_name(appBus.bus(), "lumora.Battery", 0), 0);
    const Ids running = apps.runningApplicationIds();
    EXPECT_THAT(running, Contains(std::string("lumora.Battery")));
    // Unique connection names are connections, not applications.
    for (const auto& id : running) {
        ASSERT_TRUE(id);
        EXPECT_NE(id->front(), ':');
    }
    ASSERT_GE(sd_bus_release_name(appBus.bus(), "lumora.Battery"), 0);
    EXPECT_THAT(apps.runningApplicationIds(), Not(Contains(std::string("lumora.Battery"))));
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace ampwarden
