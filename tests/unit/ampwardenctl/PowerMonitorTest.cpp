#include <gtest/gtest.h>

#include "ampwardenctl/PowerMonitor.h"
#include "fake/FakeHostTree.h"

namespace ampwarden::ctl {
namespace {

constexpr const char* kSupplies = "/sys/class/power_supply/";

TEST(PowerMonitorTest, KernelAttributesGiveTheLevelAndTheMainsOrSayUnknown) {
    test::FakeHostTree host;
    EXPECT_EQ(PowerMonitor::readKernelAttributes(host.root()).level, std::nullopt);

    host.write(std::string(kSupplies) + "BAT0/type", "Battery\n");
    host.write(std::string(kSupplies) + "BAT0/capacity", "57\n");
    host.write(std::string(kSupplies) + "BAT0/status", "Discharging\n");
    PowerReading onBattery = PowerMonitor::readKernelAttributes(host.root());
    EXPECT_EQ(onBattery.level, 57);
    EXPECT_EQ(onBattery.mains, std::nullopt);  // no mains supply, and not charging

    host.write(std::string(kSupplies) + "ADP1/type", "Mains\n");
    host.write(std::string(kSupplies) + "ADP1/online", "0\n");
    host.write(std::string(kSupplies) + "ucsi-source-psy-1/type", "USB\n");
    host.write(std::string(kSupplies) + "ucsi-source-psy-1/online", "1\n");
    EXPECT_EQ(PowerMonitor::readKernelAttributes(host.root()).mains, true);

    // A capacity the driver cannot tell is no level, not 0 %.
    host.write(std::string(kSupplies) + "BAT0/capacity", "\n");
    EXPECT_EQ(PowerMonitor::readKernelAttributes(host.root()).level, std::nullopt);
}

}  // namespace
}  // namespace ampwarden::ctl
