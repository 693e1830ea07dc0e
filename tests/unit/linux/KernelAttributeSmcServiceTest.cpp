#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "fake/FakeHostTree.h"
#include "fake/FakePlatform.h"
#include "platform/MachError.h"
#include "platform/linux/KernelAttributeSmcService.h"
#include "smc/SMC.h"

namespace ampwarden::test {
namespace {

using Keys = std::vector<std::string>;
constexpr const char* kThreshold = "/sys/class/power_supply/BAT0/charge_control_end_threshold";
constexpr const char* kBehaviour = "/sys/class/power_supply/BAT0/charge_behaviour";
constexpr const char* kEveryBehaviour = "[auto] inhibit-charge force-discharge";

class KernelAttributeSmcServiceTest : public ::testing::Test {
  protected:
    // An SMC over the attributes found in the tree.
    void open() {
        std::string why;
        const auto attributes = KernelAttributeSmcService::find(files, why);
        ASSERT_TRUE(attributes) << why;
        service = std::make_unique<KernelAttributeSmcService>(files, *attributes);
        platform.smcService = service.get();
        ASSERT_EQ(smc.open(), 0);
    }

    kern_return_t write(const char* key, std::uint8_t value, std::uint32_t size = 1) {
        SMCVal_t record(key);
        record.dataSize = size;
        record.bytes[0] = value;
        return smc.write(record);
    }

    FakeHostTree tree;
    HostFiles files{tree.root()};
    FakePlatform platform;
    std::unique_ptr<KernelAttributeSmcService> service;
    SMC smc{platform.smc(), platform.log};
};

TEST_F(KernelAttributeSmcServiceTest,
       BacksTheChargeKeysOfTheFirstBatteryWithAttributesOrTheT2Limit) {
    // What find() makes of the tree: the battery, the limit file, how many files and the keys.
    auto found = [this] {
        std::string why;
        const auto attributes = KernelAttributeSmcService::find(files, why);
        if (!attributes) return why;
        std::string text = attributes->battery.substr(24) + " " + attributes->limitFile + " " +
                           std::to_string(attributes->files().size());
        for (const std::string& key : attributes->chargeKeys()) text += " " + key;
        return text;
    };
    EXPECT_NE(found().find("no battery"), std::string::npos) << found();
    tree.write("/sys/class/power_supply/AC/type", "Mains\n");
    tree.battery("BAT0", "", "");
    EXPECT_NE(found().find("has no charge_control_end_threshold"), std::string::npos) << found();
    tree.write("/sys/bus/acpi/devices/APP0001:00/battery_charge_limit", "80\n");
    EXPECT_EQ(found(), "BAT0 /sys/bus/acpi/devices/APP0001:00/battery_charge_limit 1 BCLM");
    tree.battery("BAT1", "90", "[auto] inhibit-charge");
    EXPECT_EQ(found(),
              "BAT1 /sys/class/power_supply/BAT1/charge_control_end_threshold 2 BCLM "
              "CH0B CH0C");
    tree.battery("BAT0", "", kEveryBehaviour);  // the first battery that has any
    EXPECT_EQ(found(),
              "BAT0 /sys/bus/acpi/devices/APP0001:00/battery_charge_limit 2 BCLM CH0B CH0C CH0I");
}

TEST_F(KernelAttributeSmcServiceTest, ChargeCommandsSetTheAttributesAndRefusalsAreErrors) {
    tree.battery("BAT0", "80", kEveryBehaviour);
    open();
    EXPECT_EQ(smc.getAllKeys(), (Keys{"#KEY", "BCLM", "CH0B", "CH0C", "CH0I"}));
    EXPECT_EQ(smc.readByteValue("BCLM"), 80);

    const std::tuple<const char*, std::uint8_t, const char*> steps[] = {
        {"CH0B", 2, "inhibit-charge"},   // stop charging, first step
        {"CH0C", 2, "inhibit-charge"},   // ... and the second
        {"CH0B", 0, "auto"},             // allow charging: the stop key written last says so
        {"CH0I", 1, "force-discharge"},  // discharge wins over everything
        {"CH0C", 2, "force-discharge"},
        {"CH0I", 0, "inhibit-charge"},  // and then the stop comes back
        {"CH0C", 0, "auto"},
    };
    for (const auto& [key, value, behaviour] : steps) {
        EXPECT_EQ(write(key, value), 0) << key;
        EXPECT_EQ(tree.read(kBehaviour), behaviour) << key << " " << int(value);
        EXPECT_EQ(smc.readByteValue(key), value) << key;
    }
    EXPECT_EQ(write("BCLM", 60), 0);
    EXPECT_EQ(tree.read(kThreshold), "60");

    EXPECT_EQ(write("BCLM", 101), kIOReturnBadArgument);
    EXPECT_EQ(write("#KEY", 1), kIOReturnNotWritable);
    EXPECT_EQ(write("CH0K", 1), kIOReturnNotFound);
    EXPECT_EQ(write("BCLM", 60, 2), kIOReturnBadArgument);
    EXPECT_EQ(tree.read(kThreshold), "60");

    // An attribute the kernel refuses, or that went away, is an error, never success.
    tree.link(kBehaviour, "/dev/full");  // every write fails
    EXPECT_EQ(write("CH0B", 2), kIOReturnIOError);
    tree.link(kThreshold, "/proc/version");  // read-only to everyone
    EXPECT_NE(write("BCLM", 90), 0);

    tree.remove(kBehaviour);
    tree.write(kBehaviour, "[auto] inhibit-charge force-discharge\n");
    EXPECT_EQ(smc.readByteValue("CH0B"), 0);  // the refused 2 was not kept
    tree.write(kThreshold, "eighty\n");
    SMCVal_t limit("BCLM");
    EXPECT_EQ(smc.read(limit), kIOReturnIOError);
    tree.remove(kThreshold);
    EXPECT_EQ(smc.read(limit), kIOReturnNoDevice);
    EXPECT_EQ(write("BCLM", 90), kIOReturnNoDevice);

    // Someone else stopped charging meanwhile: the keys say so.
    tree.remove(kBehaviour);
    tree.write(kBehaviour, "auto [inhibit-charge] force-discharge\n");
    EXPECT_EQ(smc.readByteValue("CH0C"), 2);
    EXPECT_EQ(smc.readByteValue("CH0I"), 0);

    // A FIFO in an attribute's place (nobody at its other end) is an error at once, not a
    // wait that stops the helper's loop.
    tree.remove(kBehaviour);
    ASSERT_EQ(::mkfifo((tree.root() + kBehaviour).c_str(), 0600), 0);
    SMCVal_t behaviour("CH0B");
    EXPECT_EQ(smc.read(behaviour), kIOReturnIOError);
    EXPECT_EQ(write("CH0B", 2), kIOReturnIOError);
}

}  // namespace
}  // namespace ampwarden::test
