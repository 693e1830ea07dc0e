#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/LinuxMachineFacts.h"
#include "platform/linux/LinuxPlatform.h"

namespace ampwarden {
namespace {

// A tool that only needs the SMC, the logs and processes must work without any bus.
TEST(LinuxPlatformTest, ServicesThatNeedNoBusNeverConnectToIt) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ampwarden-bus", 1);
    {
        LinuxPlatform platform;
        EXPECT_EQ(&Platform::current(), &platform);
        platform.smc();
        platform.diagnostics();
        platform.machine().processIds();
        ASSERT_TRUE(platform.processes().run({"/bin/true"}));
        // A failed bus connection would already have ended the loop with its own code.
        platform.runLoop().after(0, [&] { platform.runLoop().quit(5); });
        EXPECT_EQ(platform.runLoop().run(), 5);
    }
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(LinuxMachineFactsTest, TheModelIsTheFirstLineOfTheProductName) {
    const auto path = std::filesystem::temp_directory_path() / "ampwarden-product-name";
    std::ofstream(path) << "MacBookPro11,1\nsecond line\n";
    LinuxMachineFacts facts(path.string());
    EXPECT_EQ(facts.modelName(), "MacBookPro11,1");
    std::filesystem::remove(path);
    EXPECT_EQ(facts.modelName(), "");

    const auto bundle = facts.bundleInfo();
    EXPECT_EQ(bundle.count("CFBundleShortVersionString"), 1u);
    EXPECT_EQ(bundle.count("CFBundleVersion"), 1u);
}

}  // namespace
}  // namespace ampwarden
