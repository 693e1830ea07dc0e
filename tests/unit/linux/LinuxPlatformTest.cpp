#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/linux/LinuxPlatform.h"

namespace ampwarden {
namespace {

// A tool that only needs the SMC, the logs and processes must work without any bus.
TEST(LinuxPlatformTest, ServicesThatNeedNoBusNeverConnectToIt) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ampwarden-bus", 1);
    setenv("AMPWARDEN_SMC_BACKEND", "emulator", 1);  // a test never probes the real machine
    {
        LinuxPlatform platform;
        platform.smc();
        platform.diagnostics();
        ASSERT_TRUE(platform.processes().run({"/bin/true"}));
        // A failed bus connection would already have ended the loop with its own code.
        platform.runLoop().after(0, [&] { platform.runLoop().quit(5); });
        EXPECT_EQ(platform.runLoop().run(), 5);
    }
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    unsetenv("AMPWARDEN_SMC_BACKEND");
}

}  // namespace
}  // namespace ampwarden
