#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "emulator/SmcEmulator.h"
#include "fake/FakePlatform.h"
#include "platform/MachError.h"
#include "platform/linux/EmulatorSmcServer.h"
#include "platform/linux/EmulatorSmcService.h"
#include "platform/linux/UniqueFd.h"
#include "smc/SMC.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"

namespace ampwarden::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// A fresh folder for one test's socket, removed afterwards.
class TempFolder {
  public:
    TempFolder() {
        char pattern[] = "/tmp/ampwarden-smc-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The emulated device served from a thread of this process.
class ThreadedEmulator {
  public:
    explicit ThreadedEmulator(const std::string& path) : server_(device_, path) {
        EXPECT_EQ(server_.listen(), "");
        thread_ = std::thread([this] { server_.run(); });
    }
    ~ThreadedEmulator() {
        server_.stop();
        thread_.join();
    }

  private:
    SmcEmulator device_;
    EmulatorSmcServer server_;
    std::thread thread_;
};

// The emulated device served by a child process, which a test can kill, stop and continue
// like a daemon that crashes or hangs. Returns once the child is listening.
class ForkedEmulator {
  public:
    explicit ForkedEmulator(const std::string& path) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid_ = ::fork();
        if (pid_ == 0) serveInChild(path, ready[1]);
        ::close(ready[1]);
        char ok = 0;
        EXPECT_EQ(::read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 1);
        ::close(ready[0]);
    }
    ~ForkedEmulator() { kill(); }

    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    void pause() {
        ::kill(pid_, SIGSTOP);
        int status = 0;
        ::waitpid(pid_, &status, WUNTRACED);  // returns once it is stopped
    }
    void resume() { ::kill(pid_, SIGCONT); }

  private:
    [[noreturn]] static void serveInChild(const std::string& path, int readyFd) {
        SmcEmulator device;
        EmulatorSmcServer server(device, path);
        const char ok = server.listen().empty() ? 1 : 0;
        if (::write(readyFd, &ok, 1) != 1 || ok == 0) ::_exit(1);
        server.run();
        ::_exit(0);
    }

    pid_t pid_ = -1;
};

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

// A device that answers each request with whatever the test scripts, and hangs up after a
// reply shorter than a frame.
class ScriptedDevice {
  public:
    using Reply = std::function<std::string(const EmulatorFrame::Bytes& request)>;

    ScriptedDevice(const std::string& path, Reply reply) {
        const sockaddr_un address = addressOf(path);
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM, 0));
        ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        ::listen(listener_.get(), 4);
        thread_ = std::thread([this, reply] {
            UniqueFd client(::accept(listener_.get(), nullptr, nullptr));
            EmulatorFrame::Bytes request{};
            while (::recv(client.get(), request.data(), request.size(), MSG_WAITALL) ==
                   static_cast<ssize_t>(request.size())) {
                const std::string bytes = reply(request);
                ::send(client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
                if (bytes.size() < request.size()) break;
            }
        });
    }
    ~ScriptedDevice() {
        ::shutdown(listener_.get(), SHUT_RDWR);  // wakes the accept if nobody ever came
        thread_.join();
    }

  private:
    UniqueFd listener_;
    std::thread thread_;
};

SMCKeyData_t keyInfoRequest(const char* key) {
    SMCKeyData_t record;
    record.key = toUInt32(key);
    record.data8 = rawValue(SMCKeys::readKeyInfo);
    return record;
}

kern_return_t callOnce(EmulatorSmcService& service, io_connect_t connection, const char* key,
                       SMCKeyData_t* reply = nullptr) {
    const SMCKeyData_t input = keyInfoRequest(key);
    SMCKeyData_t output;
    std::size_t size = sizeof(output);
    const kern_return_t code =
        service.callStructMethod(connection, 2, &input, sizeof(input), &output, size);
    if (reply != nullptr) *reply = output;
    return code;
}

class EmulatorSocket : public ::testing::Test {
  protected:
    EmulatorSocket() { platform.smcService = &service; }

    double secondsSince(Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    TempFolder folder;
    const std::string path = folder.file("smc.sock");
    EmulatorSmcService service{path, 200ms};
    FakePlatform platform;
};

TEST_F(EmulatorSocket, TheServiceExistsWhileTheSocketDoes) {
    std::vector<io_service_t> services{7};
    EXPECT_EQ(service.getMatchingServices("AppleSMC", services), 0);
    EXPECT_TRUE(services.empty());
    {
        SMC smc;
        EXPECT_EQ(smc.open(), 1);
    }
    {
        ThreadedEmulator emulator(path);
        EXPECT_EQ(service.getMatchingServices("AppleSMC", services), 0);
        EXPECT_EQ(services.size(), 1u);
        EXPECT_EQ(service.getMatchingServices("IOPMrootDomain", services), 0);
        EXPECT_TRUE(services.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(path));  // the server removed its socket
    EXPECT_EQ(platform.log.stdoutLines()[0], "Error IOIteratorNext(): (os/kern) successful");
}

TEST_F(EmulatorSocket, TheSMCReadsWritesAndListsThroughTheSocket) {
    ThreadedEmulator emulator(path);
    SMC smc;
    ASSERT_EQ(smc.open(), 0);
    EXPECT_EQ(smc.readByteValue("BCLM"), 100);
    smc.writeByteValue("BCLM", 80);
    EXPECT_EQ(smc.readByteValue("BCLM"), 80);
    smc.setFanSpeed(1, 3000);
    EXPECT_EQ(smc.getValue("F1Tg"), 3000.0);
    EXPECT_EQ(smc.getStringValue("F1ID"), "Right side");
    EXPECT_EQ(smc.getAllKeys().size(), SmcKeyTable::intelLaptop().size());
    EXPECT_EQ(smc.close(), 0);
    EXPECT_EQ(platform.log.stdoutLines(),
              (Lines{"intValue 100", "设置电池状态数值 80", "bytes 80", "intValue 80"}));
}

TEST_F(EmulatorSocket, ServesSeveralClientsAtOnce) {
    ThreadedEmulator emulator(path);
    // A client that sends half a request and then nothing must hold nobody up.
    UniqueFd stalled(::socket(AF_UNIX, SOCK_STREAM, 0));
    const sockaddr_un address = addressOf(path);
    ASSERT_EQ(
        ::connect(stalled.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::send(stalled.get(), "half a request", 14, 0), 14);
    io_connect_t first = 0;
    io_connect_t second = 0;
    ASSERT_EQ(service.serviceOpen(1, 0, first), 0);
    ASSERT_EQ(service.serviceOpen(1, 0, second), 0);
    EXPECT_NE(first, second);
    SMCKeyData_t reply;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(callOnce(service, first, "BCLM", &reply), 0);
        EXPECT_EQ(reply.keyInfo.dataSize, 1u);
        EXPECT_EQ(callOnce(service, second, "F0ID", &reply), 0);
        EXPECT_EQ(reply.keyInfo.dataSize, 16u);
    }
    EXPECT_EQ(callOnce(service, first, "ZZZZ", &reply), kIOReturnNotFound);
    EXPECT_EQ(reply.result, SmcEmulator::kResultKeyNotFound);
}

TEST_F(EmulatorSocket, HandleZeroClosedHandlesAndOddSizesAreRefused) {
    ThreadedEmulator emulator(path);
    io_connect_t connection = 0;
    EXPECT_EQ(callOnce(service, 0, "BCLM"), kMachSendInvalidDest);
    EXPECT_EQ(service.serviceOpen(2, 0, connection), kMachSendInvalidDest);
    EXPECT_EQ(service.serviceOpen(1, 1, connection), kIOReturnBadArgument);
    ASSERT_EQ(service.serviceOpen(1, 0, connection), 0);

    const SMCKeyData_t input = keyInfoRequest("BCLM");
    SMCKeyData_t output;
    std::size_t small = 40;
    EXPECT_EQ(service.callStructMethod(connection, 2, &input, 40, &output, small),
              kIOReturnBadArgument);
    EXPECT_EQ(service.callStructMethod(connection, 2, &input, 80, &output, small),
              kIOReturnBadArgument);

    EXPECT_EQ(service.serviceClose(connection), 0);
    EXPECT_EQ(service.serviceClose(connection), kMachSendInvalidDest);
    EXPECT_EQ(callOnce(service, connection, "BCLM"), kMachSendInvalidDest);
}

TEST_F(EmulatorSocket, ASocketNobodyServesIsADeviceNotResponding) {
    { ForkedEmulator crashed(path); }  // killed: its socket file stays behind
    ASSERT_TRUE(std::filesystem::exists(path));
    SMC smc;
    EXPECT_EQ(smc.open(), 1);
    EXPECT_EQ(platform.log.stdoutLines(),
              Lines{"Error IOServiceOpen(): (iokit/common) device not responding"});

    ForkedEmulator restarted(path);  // replaces the stale socket
    EXPECT_EQ(smc.open(), 0);
}

TEST_F(EmulatorSocket, ADeviceKilledMidSessionFailsTheCallAndIsUsedAgainOnceBack) {
    auto emulator = std::make_unique<ForkedEmulator>(path);
    SMC smc;
    ASSERT_EQ(smc.open(), 0);
    EXPECT_EQ(smc.readByteValue("BCLM"), 100);

    emulator->kill();
    const auto start = Clock::now();
    EXPECT_EQ(smc.readByteValue("BCLM"), std::nullopt);
    EXPECT_EQ(smc.readByteValue("BCLM"), std::nullopt);
    EXPECT_LT(secondsSince(start), 0.2);  // a hang-up is seen at once, not at the deadline

    emulator = std::make_unique<ForkedEmulator>(path);
    EXPECT_EQ(smc.readByteValue("BCLM"), 100);  // same handle, fresh socket
    EXPECT_EQ(
        platform.log.stdoutLines(),
        (Lines{"intValue 100", "Error read fan value: (iokit/common) device not responding",
               "Error read fan value: (iokit/common) device not responding", "intValue 100"}));
}

TEST_F(EmulatorSocket, ADeviceThatNeverAnswersTimesOutAndItsLateReplyIsNeverTaken) {
    ForkedEmulator emulator(path);
    SMC smc;
    ASSERT_EQ(smc.open(), 0);
    emulator.pause();
    const auto start = Clock::now();
    EXPECT_EQ(smc.getValue("BCLM"), std::nullopt);
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 0.2);
    EXPECT_LT(waited, 2.0);

    emulator.resume();  // now answers the old request, to a socket nobody reads
    EXPECT_EQ(smc.readByteValue("CH0B"), 0);
    EXPECT_EQ(platform.log.stdoutLines(),
              (Lines{"Error read(BCLM): (iokit/common) I/O Timeout", "intValue 0"}));
}

TEST_F(EmulatorSocket, TheDefaultDeadlineIsOneSecond) {
    ForkedEmulator emulator(path);
    EmulatorSmcService patient(path);
    io_connect_t connection = 0;
    ASSERT_EQ(patient.serviceOpen(1, 0, connection), 0);
    emulator.pause();
    const auto start = Clock::now();
    EXPECT_EQ(callOnce(patient, connection, "BCLM"), kIOReturnTimeout);
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 1.0);
    EXPECT_LT(waited, 3.0);
}

TEST_F(EmulatorSocket, AShortReplyIsADeviceNotResponding) {
    ScriptedDevice device(path, [](const EmulatorFrame::Bytes&) { return std::string(10, '\0'); });
    SMC smc;
    ASSERT_EQ(smc.open(), 0);
    SMCVal_t value("BCLM");
    EXPECT_EQ(smc.read(value), kIOReturnNotResponding);
}

TEST_F(EmulatorSocket, GarbledRepliesArePassedOnWithoutHarm) {
    int replies = 0;
    ScriptedDevice device(path, [&replies](const EmulatorFrame::Bytes&) {
        std::string frame(EmulatorFrame::kSize, '\xFF');
        if (++replies <= 2) std::memset(frame.data(), 0, 4);  // success, nonsense record
        return frame;
    });
    SMC smc;
    ASSERT_EQ(smc.open(), 0);
    SMCVal_t value("BCLM");
    EXPECT_EQ(smc.read(value), 0);
    EXPECT_EQ(value.dataSize, 0xFFFFFFFFu);
    EXPECT_EQ(value.bytes[31], 0xFF);
    EXPECT_EQ(smc.getValue("BCLM"), std::nullopt);
    EXPECT_EQ(platform.log.stdoutLines(), Lines{"Error read(BCLM): unknown error code"});
}

}  // namespace
}  // namespace ampwarden::test
