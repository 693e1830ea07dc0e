#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fake/FakeDiagnostics.h"
#include "fake/FakeHostTree.h"
#include "platform/linux/DrmDisplayMonitor.h"

namespace ampwarden {
namespace {

using ::testing::_;
using ::testing::Pair;
using Event = std::pair<std::uint32_t, std::uint32_t>;

TEST(DrmDisplayMonitorTest, ReportsConnectorsThatComeAndGoUnderStableIds) {
    test::FakeHostTree sysfs;  // connectors the test plugs and unplugs by hand
    sysfs.write("/class/drm/card0/dev", "226:0\n");  // the card itself has no status
    sysfs.write("/class/drm/card0-eDP-1/status", "connected\n");
    sysfs.write("/class/drm/card0-HDMI-A-1/status", "disconnected\n");
    test::FakeDiagnostics log;
    DrmDisplayMonitor monitor(log, nullptr, sysfs.root());
    std::vector<Event> events;
    monitor.setReconfigurationCallback(
        [&](std::uint32_t display, std::uint32_t flags) { events.emplace_back(display, flags); });
    monitor.rescan();
    EXPECT_TRUE(events.empty());  // what is there at start is no change

    sysfs.write("/class/drm/card0-HDMI-A-1/status", "connected\n");
    monitor.rescan();
    ASSERT_EQ(events, (std::vector<Event>{{events.at(0).first, kDisplayAddFlag}}));
    const auto hdmi = events[0].first;

    sysfs.write("/class/drm/card0-eDP-1/status", "unknown\n");
    std::filesystem::remove_all(sysfs.root() + "/class/drm/card0-HDMI-A-1");
    sysfs.write("/class/drm/card1-DP-3/status", "connected\n");  // one that was not there before
    monitor.rescan();
    sysfs.write("/class/drm/card0-HDMI-A-1/status", "connected\n");
    monitor.rescan();

    ASSERT_EQ(events.size(), 5u);
    EXPECT_THAT(
        std::vector<Event>(events.begin() + 1, events.begin() + 4),
        ::testing::UnorderedElementsAre(Pair(hdmi, kDisplayRemoveFlag), Pair(_, kDisplayRemoveFlag),
                                        Pair(_, kDisplayAddFlag)));
    EXPECT_EQ(events[4], Event(hdmi, kDisplayAddFlag));
}

}  // namespace
}  // namespace ampwarden
