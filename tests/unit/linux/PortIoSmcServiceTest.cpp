#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "emulator/KeyTableFile.h"
#include "emulator/SmcPortDevice.h"
#include "fake/FakePlatform.h"
#include "platform/MachError.h"
#include "platform/linux/PortIoSmcService.h"
#include "smc/SMC.h"

namespace ampwarden::test {
namespace {

using std::chrono::microseconds;
using Lines = std::vector<std::string>;

// Lends the test's device to the service, which owns its ports.
class BorrowedPorts : public PortIo {
  public:
    explicit BorrowedPorts(SmcPortDevice& device) : device_(device) {}
    std::uint8_t in(std::uint16_t port) override { return device_.in(port); }
    void out(std::uint16_t port, std::uint8_t value) override { device_.out(port, value); }
    void pause(microseconds duration) override { device_.pause(duration); }

  private:
    SmcPortDevice& device_;
};

std::string hex(const SMCVal_t& value) {
    return KeyTableFile::hex({value.bytes.begin(), value.bytes.begin() + value.dataSize});
}

// Key I/O, enumeration, fans and byte values, each result written down.
Lines exercise(SMC& smc) {
    Lines seen;
    seen.push_back("open " + std::to_string(smc.open()));
    auto note = [&](const std::string& what, kern_return_t code) {
        seen.push_back(what + " -> " + machErrorName(code));
    };
    for (const std::string& key : smc.getAllKeys()) {
        SMCVal_t value(key);
        note("read " + key + " " + hex(value), smc.read(value));
        seen.push_back(value.dataType + " " + std::to_string(value.dataSize) + " " + hex(value));
    }
    SMCVal_t record("BCLM");
    record.dataSize = 1;
    record.bytes[0] = 50;
    note("write BCLM", smc.write(record));
    record.dataSize = 2;
    note("write BCLM 2 bytes", smc.write(record));
    record.key = "AC-W";
    record.dataSize = 1;
    note("write AC-W", smc.write(record));
    record.key = "ZZZZ";
    note("write ZZZZ", smc.write(record));
    SMCVal_t missing("ZZZZ");
    note("read ZZZZ", smc.read(missing));
    smc.writeByteValue("CH0B", 2);
    seen.push_back("CH0B " + std::to_string(smc.readByteValue("CH0B").value_or(-1)));
    seen.push_back("F0Mx " + std::to_string(smc.getValue("F0Mx").value_or(-1)));
    seen.push_back("F1ID " + smc.getStringValue("F1ID").value_or("none"));
    smc.setFanMode(1, FanMode::forced);
    smc.setFanSpeed(1, 3000);
    smc.setFanSpeed(0, 9000);  // above its maximum
    smc.resetFanModes();
    return seen;
}

class PortIoSmcServiceTest : public ::testing::Test {
  protected:
    PortIoSmcServiceTest() : service(std::make_unique<BorrowedPorts>(device), "") {
        platform.smcService = &service;
    }

    // Opens an SMC on the port service, with the device's counts from then on.
    void open() {
        EXPECT_EQ(smc.open(), 0);
        device.counts = {};
    }

    std::vector<std::uint8_t> value(const char* key) const {
        return device.table().find(key)->bytes;
    }

    FakePlatform platform;
    SmcPortDevice device;
    PortIoSmcService service;
    SMC smc{platform.smc(), platform.log};
};

TEST_F(PortIoSmcServiceTest, AnswersKeyIoEnumerationAndFansExactlyLikeTheSocketDevice) {
    const Lines overPorts = exercise(smc);
    const Lines overPortsLog = platform.log.stdoutLines();
    platform.log.clear();

    FakeSmcDevice socketDevice;
    platform.smcService = &socketDevice;
    {
        SMC other{platform.smc(), platform.log};  // closes while its device exists
        EXPECT_EQ(overPorts, exercise(other));
    }
    platform.smcService = &service;
    EXPECT_EQ(overPortsLog, platform.log.stdoutLines());
    EXPECT_EQ(KeyTableFile::format(device.table()),
              KeyTableFile::format(socketDevice.device.table()));
    EXPECT_GT(overPorts.size(), 30u);
}

TEST_F(PortIoSmcServiceTest, EachDeviceFaultFailsWithinItsBoundAndNeverClaimsAWrite) {
    const microseconds budget = SmcPortProtocol::Timing{}.budget;
    const microseconds slack{8192};  // the last pause may overshoot a little
    open();
    SMCVal_t limit("BCLM");
    ASSERT_EQ(smc.read(limit), 0);  // its key information is known from here on
    limit.bytes[0] = 60;

    struct Case {
        const char* fault;
        void (*arm)(SmcPortDevice::Faults&);
        kern_return_t code;
        microseconds bound;
    } cases[] = {
        {"busy stuck", [](auto& f) { f.busyStuck = true; }, kIOReturnBusy, 2 * budget},
        {"input full", [](auto& f) { f.inputNeverFrees = true; }, kIOReturnTimeout, budget},
        {"too slow", [](auto& f) { f.slowness = microseconds(400000); }, kIOReturnTimeout, budget},
        {"always cut off", [](auto& f) { f.interleavedWrites = 99; }, kIOReturnIOError,
         microseconds(10000)},
    };
    for (const Case& c : cases) {
        device.restart();
        device.faults = {};
        c.arm(device.faults);
        const microseconds start = device.now();
        EXPECT_EQ(smc.write(limit), c.code) << c.fault;
        EXPECT_LE(device.now() - start, c.bound + slack) << c.fault;
        device.faults = {};
        device.restart();
        EXPECT_EQ(value("BCLM"), std::vector<std::uint8_t>{100}) << c.fault;
    }
    EXPECT_EQ(device.faults.interleavedWrites, 0);

    // Faults a careful driver rides out: a slow device, leftovers, one cut-off write.
    device.faults.slowness = microseconds(3000);
    device.faults.leftoverBytes = 3;
    device.faults.interleavedWrites = 1;
    EXPECT_EQ(smc.write(limit), 0);
    EXPECT_EQ(value("BCLM"), std::vector<std::uint8_t>{60});
    EXPECT_EQ(smc.readByteValue("BCLM"), 60);
    EXPECT_EQ(smc.getAllKeys().size(), device.table().size());
}

TEST_F(PortIoSmcServiceTest, ChecksTheKeyBeforeWritingAndHoldsTheLockFileAgainstOtherProcesses) {
    open();
    SMCVal_t readOnly("AC-W");
    readOnly.dataSize = 1;
    EXPECT_EQ(smc.write(readOnly), kIOReturnNotWritable);
    const std::uint64_t afterInfo = device.counts.dataOut;
    EXPECT_EQ(smc.write(readOnly), kIOReturnNotWritable);
    EXPECT_EQ(device.counts.dataOut, afterInfo);  // known now: nothing sent at all

    char folder[] = "/tmp/ampwarden-lock-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string lockPath = std::string(folder) + "/run/smc.lock";
    {
        PortIoSmcService locked(std::make_unique<BorrowedPorts>(device), lockPath);
        platform.smcService = &locked;
        SMC other{platform.smc(), platform.log};
        ASSERT_EQ(other.open(), 0);
        SMCVal_t limit("BCLM");
        ASSERT_EQ(other.read(limit), 0);  // made the folder and the file

        const int holder = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(::flock(holder, LOCK_EX), 0);
        device.counts = {};
        const microseconds start = device.now();
        EXPECT_EQ(other.read(limit), kIOReturnBusy);
        EXPECT_EQ(device.counts.accesses(), 0u);
        EXPECT_LE(device.now() - start, PortIoSmcService::kLockBudget);
        ::close(holder);
        EXPECT_EQ(other.read(limit), 0);
    }
    platform.smcService = &service;
    std::system(("rm -rf " + std::string(folder)).c_str());
}

}  // namespace
}  // namespace ampwarden::test
