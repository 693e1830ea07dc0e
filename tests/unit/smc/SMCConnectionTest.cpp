#include <gtest/gtest.h>

#include "fake/FakePlatform.h"
#include "fake/FakeSmcDevice.h"
#include "platform/MachError.h"
#include "smc/SMC.h"

namespace ampwarden::test {
namespace {

using Lines = std::vector<std::string>;

class SMCConnection : public ::testing::Test {
  protected:
    SMCConnection() { platform.smcService = &device; }

    FakePlatform platform;
    FakeSmcDevice device;
};

TEST_F(SMCConnection, OpenStoresTheHandleAndReleasesTheServiceAndCloseKeepsTheHandle) {
    SMC smc{platform.smc(), platform.log};
    EXPECT_EQ(smc.open(), 0);
    EXPECT_EQ(smc.conn, FakeSmcDevice::kFirstConnection);
    EXPECT_EQ(device.released, std::vector<io_object_t>{FakeSmcDevice::kService});

    // A second open takes a new connection and leaves the first one open.
    EXPECT_EQ(smc.open(), 0);
    EXPECT_EQ(smc.conn, FakeSmcDevice::kFirstConnection + 1);
    EXPECT_EQ(device.connected.size(), 2u);
    EXPECT_TRUE(platform.log.empty());

    // Close keeps the handle, and later calls still use it.
    EXPECT_EQ(smc.close(), 0);
    EXPECT_EQ(smc.conn, FakeSmcDevice::kFirstConnection + 1);
    SMCVal_t value("BCLM");
    EXPECT_EQ(smc.read(value), kMachSendInvalidDest);
    EXPECT_EQ(device.calls.at(0).connection, smc.conn);
    EXPECT_EQ(smc.close(), kMachSendInvalidDest);
}

TEST_F(SMCConnection, EachFailingStepOfOpenLogsItsLineAndGivesOne) {
    SMC smc{platform.smc(), platform.log};
    device.present = false;
    EXPECT_EQ(smc.open(), 1);
    device.present = true;
    device.matchingResult = kIOReturnNoResources;
    EXPECT_EQ(smc.open(), 1);
    device.matchingResult = kKernSuccess;
    device.openResult = static_cast<kern_return_t>(0xe00002c1);  // not privileged
    EXPECT_EQ(smc.open(), 1);

    EXPECT_EQ(platform.log.stdoutLines(),
              (Lines{"Error IOIteratorNext(): (os/kern) successful",
                     "Error IOServiceGetMatchingServices(): (iokit/common) resource shortage",
                     "Error IOServiceOpen(): (iokit/common) privilege violation"}));
    EXPECT_EQ(smc.conn, 0u);
    EXPECT_TRUE(platform.log.systemLines().empty());
}

TEST_F(SMCConnection, DestructionClosesAndLogsOnlyAFailure) {
    {
        SMC smc{platform.smc(), platform.log};
        smc.open();
    }
    EXPECT_TRUE(device.connected.empty());
    EXPECT_TRUE(platform.log.empty());
    { SMC neverOpened{platform.smc(), platform.log}; }
    EXPECT_EQ(platform.log.stdoutLines(),
              Lines{"error close smc connection: (ipc/send) invalid destination port"});
}

}  // namespace
}  // namespace ampwarden::test
