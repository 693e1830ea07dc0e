#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "fake/FakeDiagnostics.h"
#include "platform/linux/DrmDisplayMonitor.h"

namespace ampwarden {
namespace {

namespace fs = std::filesystem;

// A scratch sysfs with a class/drm folder; connectors are added and changed by hand.
class DrmDisplayMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ampwarden-sysfs-XXXXXX";
        root = mkdtemp(pattern);
        fs::create_directories(root / "class/drm/card0");  // the card itself has no status
        std::ofstream(root / "class/drm/version") << "drm 1.1.0\n";
    }
    void TearDown() override { fs::remove_all(root); }

    void setStatus(const std::string& connector, const std::string& status) {
        fs::create_directories(root / "class/drm" / connector);
        std::ofstream(root / "class/drm" / connector / "status") << status << "\n";
    }

    std::vector<std::pair<std::uint32_t, std::uint32_t>> start(DrmDisplayMonitor& monitor) {
        monitor.setReconfigurationCallback([this](std::uint32_t display, std::uint32_t flags) {
            events.emplace_back(display, flags);
        });
        return events;
    }

    fs::path root;
    test::FakeDiagnostics log;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> events;
};

TEST_F(DrmDisplayMonitorTest, ReportsConnectorsThatComeAndGo) {
    setStatus("card0-eDP-1", "connected");
    setStatus("card0-HDMI-A-1", "disconnected");
    DrmDisplayMonitor monitor(log, nullptr, root.string());
    EXPECT_TRUE(start(monitor).empty());  // what is there at start is no change

    monitor.rescan();
    EXPECT_TRUE(events.empty());

    setStatus("card0-HDMI-A-1", "connected");
    monitor.rescan();
    ASSERT_EQ(events.size(), 1u);
    const auto hdmi = events[0].first;
    EXPECT_EQ(events[0].second, kDisplayAddFlag);

    events.clear();
    setStatus("card0-eDP-1", "unknown");
    fs::remove_all(root / "class/drm/card0-HDMI-A-1");
    monitor.rescan();
    ASSERT_EQ(events.size(), 2u);
    const auto edp = events[0].first == hdmi ? events[1].first : events[0].first;
    EXPECT_NE(edp, hdmi);
    EXPECT_THAT(events, ::testing::UnorderedElementsAre(std::make_pair(hdmi, kDisplayRemoveFlag),
                                                        std::make_pair(edp, kDisplayRemoveFlag)));
}

TEST_F(DrmDisplayMonitorTest, AConnectorKeepsItsIdAndNewOnesGetFreshIds) {
    setStatus("card0-DP-1", "disconnected");
    setStatus("card0-DP-2", "disconnected");
    DrmDisplayMonitor monitor(log, nullptr, root.string());
    start(monitor);

    setStatus("card0-DP-1", "connected");
    monitor.rescan();
    setStatus("card0-DP-1", "disconnected");
    monitor.rescan();
    setStatus("card0-DP-1", "connected");
    setStatus("card1-DP-3", "connected");  // a connector that did not exist before
    monitor.rescan();

    ASSERT_EQ(events.size(), 4u);
    const auto dp1 = events[0].first;
    EXPECT_EQ(events[1], std::make_pair(dp1, kDisplayRemoveFlag));
    EXPECT_EQ(events[2], std::make_pair(dp1, kDisplayAddFlag));
    EXPECT_EQ(events[3].second, kDisplayAddFlag);
    EXPECT_NE(events[3].first, dp1);
    EXPECT_GT(events[3].first, 0u);
}

TEST_F(DrmDisplayMonitorTest, AMissingDrmFolderMeansNoDisplays) {
    DrmDisplayMonitor monitor(log, nullptr, (root / "absent").string());
    start(monitor);
    monitor.rescan();
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace ampwarden
