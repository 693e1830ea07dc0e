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
#include "smc/SmcPortProtocol.h"

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

    // A device gone silent, from the start or after the probe's #KEY, costs one wait, not one
    // per charge key.
    const auto oneWait = SmcPortProtocol::Timing{}.budget + std::chrono::microseconds(8192);
    for (const auto& [answered, why] : {std::pair{0,
                                                  "reading #KEY failed: (iokit/common) I/O "
                                                  "Timeout"},
                                        std::pair{1, "asking for BCLM failed"}}) {
        device.faults = {};
        device.faults.silentAfter = answered;
        const auto start = device.now();
        const auto silent = choose("port-io");
        EXPECT_THAT(silent.line(), HasSubstr(std::string("probe failed: ") + why));
        EXPECT_LE(device.now() - start, oneWait) << why;
    }
}

TEST_F(SmcBackendChoiceTest, ThePortMapIsATreeAndOnlyTheSmcsOwnDeviceAndDriverMayHoldTheRegion) {
    tree.write("/sys/class/dmi/id/sys_vendor", "Apple Inc.");
    tree.write("/sys/kernel/security/lockdown", "[none] integrity");
    const std::string bus = "0000-0cf7 : PCI Bus 0000:00\n  0070-0077 : rtc0\n";
    const std::string after = "  03f8-03ff : serial\n0cf8-0cff : PCI conf1\n";
    // The ports map as the kernel shows it; who it says claims the region ("" = nobody).
    const std::pair<std::string, const char*> maps[] = {
        {bus + after, ""},
        {bus + "  0300-031f : applesmc\n" + after, ""},
        {bus + "  0300-031f : APP0001:00\n" + after, ""},
        {bus + "  0300-031f : APP0001:00\n    0300-031f : applesmc\n" + after, ""},
        {"0300-031f : APP0001:01\n  0300-031f : applesmc\n", ""},
        {bus + "  0300-031f : APP0001:00\n    0310-0317 : sound\n" + after, "sound"},
        {bus + "  0300-031f : APP0001:00\n    0300-031f : gameport\n", "gameport"},
        {bus + "  0300-031f : APP0001:00\n    0300-031f : applesmc\n      0304-0304 : x\n", "x"},
        {bus + "  0300-030f : APP0001:00\n  0310-031f : applesmc\n", "APP0001:00, applesmc"},
        {bus + "  0300-033f : APP0001:00\n", "APP0001:00"},
        {bus + "  02f8-0307 : serial\n", "serial"},
        {bus + "  0300-031f : applesmc\n    0300-031f : APP0001:00\n", "APP0001:00"},
        {bus + "  0300-031f : ne2000\n    0300-031f : applesmc\n", "ne2000, applesmc"},
        {"0000-0fff : PCI Bus 0000:00\n  0200-03ff : PCI Bus 0000:01\n", ""},
        {"0000-0fff : ISA bridge\n", "ISA bridge"},
    };
    for (const auto& [ioports, claimed] : maps) {
        tree.write("/proc/ioports", ioports);
        const auto report = choose("port-io");
        EXPECT_EQ(
            report.backends.at(0).why,
            *claimed == '\0' ? "" : std::string("ports 0x300-0x31f are claimed by ") + claimed)
            << ioports;
    }

    // Without CAP_SYS_ADMIN every address reads 0: then only the firmware's SMC device vouches.
    const std::string blind = "0000-0000 : PCI Bus 0000:00\n  0000-0000 : APP0001:00\n";
    tree.write("/proc/ioports", blind + "    0000-0000 : applesmc\n");
    EXPECT_THAT(choose("port-io").line(), HasSubstr("cannot see the port map"));
    tree.write("/sys/bus/acpi/devices/APP0001:00/hid", "APP0001");
    EXPECT_EQ(choose("port-io").chosen, "port-io");
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

TEST_F(SmcBackendChoiceTest, TellsWhenTheServiceMayNotWriteTheBatteryTheKernelNamed) {
    const std::pair<const char*, const char*> batteries[] = {
        {"CMB1", ""},
        {"macsmc-battery", ""},
        {"hidpp_battery_0", "it may write only those of BAT0"}};
    for (const auto& [name, note] : batteries) {
        const FakeHostTree host;
        host.battery(name, "80", "");
        auto named = setup("kernel");
        named.files = HostFiles(host.root());
        const auto kernel = SmcBackendChoice(std::move(named)).probeAll().backends.at(1);
        EXPECT_TRUE(kernel.usable) << name;
        EXPECT_EQ(kernel.note.empty(), note[0] == '\0') << name;
        EXPECT_THAT(kernel.note, HasSubstr(note)) << name;
    }
}

}  // namespace
}  // namespace ampwarden::test
