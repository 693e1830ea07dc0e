#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fake/FakeDiagnostics.h"
#include "platform/linux/DrmDisplayMonitor.h"

namespace ampwarden {
namespace {

namespace fs = std::filesystem;
using ::testing::_;
using ::testing::Pair;
using Event = std::pair<std::uint32_t, std::uint32_t>;

// A scratch sysfs whose connectors the test plugs and unplugs by hand.
class DrmDisplayMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ampwarden-sysfs-XXXXXX";
        root = mkdtemp(pattern);
        fs::create_directories(root / "class/drm/card0");  // the card itself has no status
    }
    void TearDown() override { fs::remove_all(root); }

    void setStatus(const std::string& connector, const std::string& status) {
        fs::create_directories(root / "class/drm" / connector);
        std::ofstream(root / "class/drm" / connector / "status") << status << "\n";
    }

    fs::path root;
    test::FakeDiagnostics log;
    std::vector<Event> events;
};

TEST_F(DrmDisplayMonitorTest, ReportsConnectorsThatComeAndGoUnderStableIds) {
    setStatus("card0-eDP-1", "connected");
    setStatus("card0-HDMI-A-1", "disconnected");
    DrmDisplayMonitor monitor(log, nullptr, root.string());
    monitor.setReconfigurationCallback([this](std::uint32_t display, std::uint32_t flags) {
        events.emplace_back(display, flags);
    });
    monitor.rescan();
    EXPECT_TRUE(events.empty());  // what is there at start is no change

    setStatus("card0-HDMI-A-1", "connected");
    monitor.rescan();
    ASSERT_EQ(events, (std::vector<Event>{{events.at(0).first, kDisplayAddFlag}}));
    const auto hdmi = events[0].first;

    setStatus("card0-eDP-1", "unknown");
    fs::remove_all(root / "class/drm/card0-HDMI-A-1");
    setStatus("card1-DP-3", "connected");  // a connector that did not exist before
    monitor.rescan();
    setStatus("card0-HDMI-A-1", "connected");
    monitor.rescan();

    ASSERT_EQ(events.size(), 5u);
    EXPECT_THAT(
        std::vector<Event>(events.begin() + 1, events.begin() + 4),
        ::testing::UnorderedElementsAre(Pair(hdmi, kDisplayRemoveFlag), Pair(_, kDisplayRemoveFlag),
                                        Pair(_, kDisplayAddFlag)));
    EXPECT_EQ(events[4], Event(hdmi, kDisplayAddFlag));
    const std::vector<std::uint32_t> ids = {events[1].first, events[2].first, events[3].first};
    EXPECT_EQ(std::set<std::uint32_t>(ids.begin(), ids.end()).size(), 3u);
}

}  // namespace
}  // namespace ampwarden
