#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "channel/ZTMonitorManager.h"
#include "fake/FakePlatform.h"

namespace ampwarden::test {
namespace {

TEST(LidProbe, OnlyAMacBookWithAClosedLidCountsAsClosed) {
    struct Case {
        std::string model;
        std::optional<bool> lid;
        bool closed;
    };
    const Case cases[] = {
        {"MacBookPro11,1", true, true},
        {"MacBookAir7,2", false, false},
        {"MacBookPro11,1", std::nullopt, false},
        {"Apple MacBook", true, true},
        {"macbookpro11,1", true, false},
        {"iMac14,2", true, false},
        {"", true, false},
    };
    for (const Case& c : cases) {
        FakePlatform platform;
        platform.facts.model = c.model;
        platform.login.lidClosed = c.lid;
        EXPECT_EQ(ZTMonitorManager::lidClosed(), c.closed) << "model \"" << c.model << "\"";
        EXPECT_EQ(platform.log.systemLines(),
                  std::vector<std::string>{std::to_string(c.model.size())});
    }
}

TEST(LidProbe, LogsTheModelLengthInBytes) {
    FakePlatform platform;
    platform.facts.model = "MacBook é";
    ZTMonitorManager::lidClosed();
    ZTMonitorManager::lidClosed();
    EXPECT_EQ(platform.log.systemLines(), (std::vector<std::string>{"10", "10"}));
}

}  // namespace
}  // namespace ampwarden::test
