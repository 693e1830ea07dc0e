#include <gtest/gtest.h>

#include "channel/ZTMonitorManager.h"
#include "fake/FakePlatform.h"

namespace ampwarden::test {
namespace {

TEST(LidProbe, OnlyAMacBookWithALidReportedClosedCountsAsClosed) {
    const struct {
        std::string model;
        std::optional<bool> lid;
        bool closed;
    } cases[] = {{"MacBookPro11,1", true, true},  {"Apple MacBook é", true, true},
                 {"MacBookAir7,2", false, false}, {"MacBookAir7,2", std::nullopt, false},
                 {"macbookpro11,1", true, false}, {"", true, false}};
    for (const auto& c : cases) {
        FakePlatform platform;
        platform.facts.model = c.model;
        platform.login.lidClosed = c.lid;
        EXPECT_EQ(ZTMonitorManager::lidClosed(platform.facts, platform.login, platform.log),
                  c.closed)
            << c.model;
    }
}

}  // namespace
}  // namespace ampwarden::test
