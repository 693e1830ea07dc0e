#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "emulator/KeyTableFile.h"
#include "emulator/SmcPortDevice.h"
#include "fake/FakeHostTree.h"
#include "fake/FakePlatform.h"
#include "platform/BorrowedPortIo.h"
#include "platform/MachError.h"
#include "platform/linux/PortIoSmcService.h"
#include "smc/SMC.h"
#include "smc/SMCKeyCode.h"

namespace ampwarden::test {
namespace {

using std::chrono::microseconds;
using Lines = std::vector<std::string>;

// Every key's type, size and value, what each kind of write and a missing key answer, and a
// write of a multi-byte value.
Lines exercise(SMC& smc) {
    Lines seen{"open " + std::to_string(smc.open())};
    for (const std::string& key : smc.getAllKeys()) {
        SMCVal_t value(key);
        const std::string code = machErrorName(smc.read(value));
        seen.push_back(
            key + " " + code + " " + value.dataType + " " +
            KeyTableFile::hex({value.bytes.begin(), value.bytes.begin() + value.dataSize}));
    }
    const std::pair<const char*, std::uint32_t> writes[] = {
        {"BCLM", 1}, {"BCLM", 2}, {"AC-W", 1}, {"ZZZZ", 1}};
    for (const auto& [key, size] : writes) {
        SMCVal_t record(key);
        record.dataSize = size;
        record.bytes[0] = 50;
        seen.push_back(std::string("write ") + key + " " + machErrorName(smc.write(record)));
    }
    SMCVal_t missing("ZZZZ");
    seen.push_back("read ZZZZ " + machErrorName(smc.read(missing)));
    smc.setFanMode(1, FanMode::forced);
    smc.setFanSpeed(1, 3000);
    return seen;
}

class PortIoSmcServiceTest : public ::testing::Test {
  protected:
    PortIoSmcServiceTest() : service(std::make_unique<BorrowedPortIo>(device), "") {
        platform.smcService = &service;
    }

    const microseconds budget = SmcPortProtocol::Timing{}.budget;
    const microseconds slack{8192};  // the last pause may overshoot a little
    FakePlatform platform;
    SmcPortDevice device;
    PortIoSmcService service;
    SMC smc{platform.smc(), platform.log};
};

TEST_F(PortIoSmcServiceTest, AnswersKeysWritesAndRefusalsExactlyLikeTheSocketDevice) {
    const Lines overPorts = exercise(smc);
    FakeSmcDevice socketDevice;
    platform.smcService = &socketDevice;
    {
        SMC other{platform.smc(), platform.log};  // closes while its device exists
        EXPECT_EQ(overPorts, exercise(other));
    }
    platform.smcService = &service;
    EXPECT_EQ(KeyTableFile::format(device.table()),
              KeyTableFile::format(socketDevice.device.table()));
}

TEST_F(PortIoSmcServiceTest, EachFaultFailsWithinItsBoundAndNeverClaimsAWriteNorDoesABusyLock) {
    ASSERT_EQ(smc.open(), 0);
    SMCVal_t limit("BCLM");
    ASSERT_EQ(smc.read(limit), 0);  // its key information is known from here on
    limit.bytes[0] = 60;

    using Arm = void (*)(SmcPortDevice::Faults&);
    const std::tuple<const char*, Arm, kern_return_t, microseconds> cases[] = {
        {"busy stuck", [](auto& f) { f.busyStuck = true; }, kIOReturnBusy, 2 * budget},
        {"input full", [](auto& f) { f.inputNeverFrees = true; }, kIOReturnTimeout, budget},
        {"too slow", [](auto& f) { f.slowness = microseconds(400000); }, kIOReturnTimeout, budget},
        {"always cut off", [](auto& f) { f.interleavedWrites = 99; }, kIOReturnIOError,
         microseconds(10000)},
    };
    for (const auto& [fault, arm, code, bound] : cases) {
        arm(device.faults);
        const microseconds start = device.now();
        EXPECT_EQ(smc.write(limit), code) << fault;
        EXPECT_LE(device.now() - start, bound + slack) << fault;
        device.faults = {};
        device.restart();
    }

    // Faults a careful driver rides out: a slow device, leftovers, one cut-off write.
    device.faults.slowness = microseconds(3000);
    device.faults.leftoverBytes = 3;
    device.faults.interleavedWrites = 1;
    EXPECT_EQ(smc.write(limit), 0);
    EXPECT_EQ(smc.readByteValue("BCLM"), 60);

    // Another process holding the lock file: busy within a bound, the ports untouched.
    const FakeHostTree scratch;
    const std::string lockPath = scratch.root() + "/run/smc.lock";
    {
        PortIoSmcService locked(std::make_unique<BorrowedPortIo>(device), lockPath);
        platform.smcService = &locked;
        SMC other{platform.smc(), platform.log};
        ASSERT_EQ(other.open(), 0);
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
}

TEST_F(PortIoSmcServiceTest, WhatTheDeviceRefusesFailsAtOnceAndEveryFailureLeavesItIdle) {
    SmcPortProtocol protocol(device);
    std::uint8_t bytes[4] = {50, 50};
    std::uint8_t result = 0;
    SmcPortProtocol::KeyInfo info;
    std::uint32_t found = 0;
    using Op = std::function<kern_return_t()>;
    const Op keyInfo = [&] { return protocol.keyInfo(toUInt32("BCLM"), info, result); };
    auto write = [&](const char* key, std::size_t size) -> Op {
        return [&, key, size] { return protocol.write(toUInt32(key), bytes, size, result); };
    };
    const Op badIndex = [&] { return protocol.keyAt(9999, found, result); };
    const Op readMissing = [&] {
        return protocol.read(SmcPortProtocol::kReadCommand, toUInt32("ZZZZ"), bytes, 1, result);
    };

    using Arm = void (*)(SmcPortDevice::Faults&);
    const Arm none = [](auto&) {};
    const Arm onlyReads = [](auto& f) { f.onlyReads = true; };  // as QEMU's isa-applesmc
    // What the device does, the call, what it must answer (code, error-port byte), and how
    // much virtual time that may take: one pause, to see it again, for a refusal.
    const microseconds refusal = SmcPortProtocol::Timing{}.firstPause;
    const microseconds timeout = budget + slack;
    const std::tuple<const char*, Arm, Op, kern_return_t, std::uint8_t, microseconds> cases[] = {
        {"key info unacknowledged", onlyReads, keyInfo, kIOReturnBadArgument, 0x82, refusal},
        {"write unacknowledged", onlyReads, write("BCLM", 1), kIOReturnBadArgument, 0x82, refusal},
        {"unknown key", none, readMissing, kIOReturnNotFound, 0x84, refusal},
        {"bad index", none, badIndex, kIOReturnNotFound, 0xb8, refusal},
        {"read-only key", none, write("AC-W", 1), kIOReturnNotWritable, 0x86, refusal},
        {"wrong size", none, write("BCLM", 2), kIOReturnBadArgument, 0x87, refusal},
        {"silent", [](auto& f) { f.silentAfter = 0; }, keyInfo, kIOReturnTimeout, 0, timeout},
        {"never ends", [](auto& f) { f.lingers = true; }, write("BCLM", 1), kIOReturnTimeout, 0,
         timeout},
    };
    for (const auto& [fault, arm, op, code, byte, bound] : cases) {
        arm(device.faults);
        microseconds start = device.now();
        EXPECT_EQ(op(), code) << fault;
        EXPECT_EQ(result, byte) << fault;
        EXPECT_LE(device.now() - start, bound) << fault;
        // Left idle: the next transaction starts at once.
        device.faults = {};
        start = device.now();
        EXPECT_EQ(protocol.keyInfo(toUInt32("BCLM"), info, result), kKernSuccess) << fault;
        EXPECT_EQ(info.size, 1u) << fault;
        EXPECT_EQ(device.now(), start) << fault;
    }
}

}  // namespace
}  // namespace ampwarden::test
