#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "emulator/SmcPortDevice.h"
#include "fake/FakeHostTree.h"
#include "platform/BorrowedPortIo.h"
#include "platform/linux/SmcBackendChoice.h"

namespace ampwarden::test {
namespace {

using ::testing::HasSubstr;
constexpr const char* kFreePorts = "0000-0cf7 : PCI Bus 0000:00\n  0300-031f : applesmc\n";

class SmcBackendChoiceTest : public ::testing::Test {
  protected:
    SmcBackendChoice::Setup setup(const std::string& setting) {
        SmcBackendChoice::Setup setup;
        setup.setting = setting;
        setup.files = HostFiles(tree.root());
        setup.openPorts = [this](std::string&) -> std::unique_ptr<PortIo> {
            ++portOpens;
            return std::make_unique<BorrowedPortIo>(device);
        };
        return setup;
    }

    SmcBackendChoice::Report choose(const std::string& setting) {
        SmcBackendChoice choice(setup(setting));
        return choice.choose();
    }

    FakeHostTree tree;
    SmcPortDevice device;
    int portOpens = 0;
};

TEST_F(SmcBackendChoiceTest, NeverTouchesThePortsUnlessTheyAreAnAppleSmcsAndItAnswersSanely) {
    const std::tuple<const char*, const char*, const char*, const char*> machines[] = {
        {"LENOVO", kFreePorts, "", "not an Apple machine (vendor \"LENOVO\")"},
        {"Apple Inc.", "  0300-0307 : sound card\n", "", "claimed by sound card"},
        {"Apple Inc.", "0000-0000 : PCI Bus 0000:00\n", "", "cannot see the port map"},
        {"Apple Inc.", kFreePorts, "none [integrity] confidentiality", "lockdown (integrity)"},
    };
    for (const auto& [vendor, ioports, lockdown, why] : machines) {
        tree.write("/sys/class/dmi/id/sys_vendor", vendor);
        tree.write("/proc/ioports", ioports);
        tree.write("/sys/kernel/security/lockdown", lockdown);
        for (const char* setting : {"port-io", "auto"}) {
            const auto report = choose(setting);
            EXPECT_EQ(report.chosen, "") << setting;
            EXPECT_THAT(report.line(), HasSubstr(why));
        }
    }
    EXPECT_EQ(portOpens, 0);
    EXPECT_EQ(device.counts.accesses(), 0u);

    tree.write("/sys/kernel/security/lockdown", "[none] integrity confidentiality");
    tree.write("/proc/ioports", "0000-0000 : PCI Bus 0000:00\n  0000-0000 : applesmc\n");
    tree.write("/sys/bus/acpi/devices/APP0001:00/hid", "APP0001");  // the firmware's SMC
    EXPECT_EQ(choose("port-io").chosen, "port-io");
    device.counts = {};
    device.faults.busyStuck = true;
    const auto stuck = choose("port-io");
    EXPECT_EQ(stuck.chosen, "");
    EXPECT_THAT(stuck.line(), HasSubstr("probe failed"));
    EXPECT_EQ(device.counts.dataOut, 0u);  // it never got as far as sending a key
}

TEST_F(SmcBackendChoiceTest, AutoTakesTheEmulatorElseWhatBacksMoreChargeKeysTheKernelOnATie) {
    auto withEmulator = setup("auto");
    withEmulator.emulatorSocket = tree.root() + "/smc.sock";
    EXPECT_EQ(SmcBackendChoice(std::move(withEmulator)).choose().chosen, "emulator");
    EXPECT_THAT(choose("sideways").line(), HasSubstr("sideways: unknown AMPWARDEN_SMC_BACKEND"));

    tree.write("/sys/class/dmi/id/sys_vendor", "Apple Inc.\n");
    tree.write("/proc/ioports", kFreePorts);
    tree.battery("BAT0", "80", "");  // an out-of-tree driver with the end threshold only
    EXPECT_THAT(choose("auto").line(), HasSubstr("port-io (auto), backing BCLM CH0B CH0C CH0I"));
    EXPECT_EQ(choose("kernel").chosen, "kernel");  // the setting decides

    tree.battery("BAT0", "80", "[auto] inhibit-charge force-discharge");
    SmcBackendChoice tie(setup("auto"));
    EXPECT_EQ(tie.choose().chosen, "kernel");
    std::vector<io_service_t> found;  // the service probed is the one handed over
    EXPECT_EQ(tie.takeService()->getMatchingServices("AppleSMC", found), 0);
    EXPECT_EQ(found.size(), 1u);

    SmcBackendChoice all(setup("emulator"));
    const auto everything = all.probeAll();
    EXPECT_EQ(everything.chosen, "emulator");
    EXPECT_EQ(everything.autoPick, "kernel");
}

}  // namespace
}  // namespace ampwarden::test
