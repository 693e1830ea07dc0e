#include <gtest/gtest.h>

#include "channel/ZTMonitorManager.h"
#include "fake/FakePlatform.h"

namespace ampwarden::test {
namespace {

// Only a MacBook is asked about its lid: on any other model the login manager is never queried.
TEST(LidProbe, OnlyAMacBookWithALidReportedClosedCountsAsClosed) {
    const struct {
        std::string model;
        std::optional<bool> lid;
        bool closed;
        int lidQueries;
    } cases[] = {{"MacBookPro11,1", true, true, 1},  {"Apple MacBook é", true, true, 1},
                 {"MacBookAir7,2", false, false, 1}, {"MacBookAir7,2", std::nullopt, false, 1},
                 {"macbookpro11,1", true, false, 0}, {"", true, false, 0}};
    for (const auto& c : cases) {
        FakePlatform platform;
        platform.facts.model = c.model;
        platform.login.lidClosed = c.lid;
        EXPECT_EQ(ZTMonitorManager::lidClosed(platform.facts, platform.login, platform.log),
                  c.closed)
            << c.model;
        EXPECT_EQ(platform.login.lidQueries, c.lidQueries) << c.model;
    }
}

}  // namespace
}  // namespace ampwarden::test
