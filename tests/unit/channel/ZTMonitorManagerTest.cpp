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
        const char* loggedLength;
    } cases[] = {
        {"MacBookPro11,1", true, true, "14"},  {"Apple MacBook é", true, true, "16"},
        {"MacBookAir7,2", false, false, "13"}, {"MacBookAir7,2", std::nullopt, false, "13"},
        {"macbookpro11,1", true, false, "14"}, {"", true, false, "0"}};
    for (const auto& c : cases) {
        FakePlatform platform;
        platform.facts.model = c.model;
        platform.login.lidClosed = c.lid;
        EXPECT_EQ(ZTMonitorManager::lidClosed(), c.closed) << c.model;
        EXPECT_EQ(platform.log.systemLines(), std::vector<std::string>{c.loggedLength});
    }
}

}  // namespace
}  // namespace ampwarden::test
