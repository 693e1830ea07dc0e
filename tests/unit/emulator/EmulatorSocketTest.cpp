#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>

#include "emulator/SmcEmulator.h"
#include "fake/FakeHostTree.h"
#include "fake/FakePlatform.h"
#include "platform/MachError.h"
#include "platform/linux/EmulatorSmcServer.h"
#include "platform/linux/EmulatorSmcService.h"
#include "platform/linux/UniqueFd.h"
#include "smc/SMC.h"
#include "smc/SMCKeyCode.h"

namespace ampwarden::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A stream socket connected to `path`, or listening there; invalid when that failed.
UniqueFd unixSocket(const std::string& path, bool listening) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    const bool ok = listening
                        ? ::bind(fd.get(), raw, sizeof address) == 0 && ::listen(fd.get(), 1) == 0
                        : ::connect(fd.get(), raw, sizeof address) == 0;
    return ok ? std::move(fd) : UniqueFd();
}

// A device served by a child process, which a test can kill, stop and continue like a daemon
// that crashes or hangs. The child runs `serve`, which calls its argument once clients may
// connect; the constructor returns then.
class ForkedDevice {
  public:
    explicit ForkedDevice(const std::function<void(const std::function<void()>&)>& serve) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Not outliving a test that crashes or is killed (nor one that did so already).
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == parent) {
                serve([&] {
                    if (::write(ready[1], "!", 1) != 1) ::_exit(1);
                });
            }
            ::_exit(0);
        }
        ::close(ready[1]);  // so that a child that fails, or dies early, ends the read
        char ok = 0;
        EXPECT_EQ(::read(ready[0], &ok, 1), 1) << "the device did not start";
        ::close(ready[0]);
    }
    ~ForkedDevice() { kill(); }

    void kill() {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    void pause() {
        ::kill(pid_, SIGSTOP);
        ::waitpid(pid_, nullptr, WUNTRACED);  // returns once it has stopped
    }
    void resume() { ::kill(pid_, SIGCONT); }

  private:
    pid_t pid_ = -1;
};

class EmulatorSocket : public ::testing::Test {
  protected:
    EmulatorSocket() { platform.smcService = &service; }

    // The emulated device behind its server.
    std::unique_ptr<ForkedDevice> emulator() {
        return std::make_unique<ForkedDevice>([this](const std::function<void()>& listening) {
            SmcEmulator device;
            EmulatorSmcServer server(device, path);
            if (!server.listen().empty()) return;
            listening();
            server.run();
        });
    }
    kern_return_t keyInfo(io_connect_t connection, const char* key) {
        SMCKeyData_t request;
        request.key = toUInt32(key);
        request.data8 = 9;
        std::size_t size = sizeof(reply);
        return service.callStructMethod(connection, 2, &request, sizeof(request), &reply, size);
    }

    FakeHostTree scratch;  // a folder of our own for the socket
    std::string path = scratch.root() + "/smc.sock";
    EmulatorSmcService service{path, 100ms};
    FakePlatform platform;
    SMCKeyData_t reply;
};

TEST_F(EmulatorSocket, ServesClientsWhileOneStallsAndSurvivesAHungAndAKilledDevice) {
    auto emulator = this->emulator();
    const UniqueFd stalled = unixSocket(path, false);
    ASSERT_EQ(::send(stalled.get(), "half a request", 14, 0), 14);
    io_connect_t first = 0, second = 0;
    ASSERT_EQ(service.serviceOpen(1, 0, first), 0);
    ASSERT_EQ(service.serviceOpen(1, 0, second), 0);
    EXPECT_EQ(keyInfo(first, "BCLM"), 0);
    EXPECT_EQ(reply.keyInfo.dataSize, 1u);
    EXPECT_EQ(keyInfo(second, "F0ID"), 0);
    EXPECT_EQ(reply.keyInfo.dataSize, 16u);
    EXPECT_EQ(keyInfo(first, "ZZZZ"), kIOReturnNotFound);
    EXPECT_EQ(reply.result, SmcEmulator::kResultKeyNotFound);
    // Handle 0, closed handles and records of another size never reach the device.
    EXPECT_EQ(keyInfo(0, "BCLM"), kMachSendInvalidDest);
    std::size_t small = 40;
    EXPECT_EQ(service.callStructMethod(first, 2, &reply, 80, &reply, small), kIOReturnBadArgument);
    EXPECT_EQ(service.serviceClose(first), 0);
    EXPECT_EQ(service.serviceClose(first), kMachSendInvalidDest);
    EXPECT_EQ(keyInfo(first, "BCLM"), kMachSendInvalidDest);

    // A hung device times out, a killed one fails at once, and both are used again once back.
    SMC smc{platform.smc(), platform.log};
    ASSERT_EQ(smc.open(), 0);
    EXPECT_EQ(smc.readByteValue("BCLM"), 100);
    emulator->pause();
    const auto start = Clock::now();
    EXPECT_EQ(smc.getValue("BCLM"), std::nullopt);
    EXPECT_GE(Clock::now() - start, 100ms);  // never gives up before the deadline
    emulator->resume();  // answers the old request now, on a socket nobody reads
    EXPECT_EQ(smc.readByteValue("CH0B"), 0);

    emulator->kill();  // its socket file stays behind; the hang-up is seen, not the deadline
    EXPECT_EQ(smc.readByteValue("BCLM"), std::nullopt);
    SMC another{platform.smc(), platform.log};
    EXPECT_EQ(another.open(), 1);

    emulator = this->emulator();                // replaces the dead socket
    EXPECT_EQ(smc.readByteValue("BCLM"), 100);  // same handle, fresh socket
    EXPECT_EQ(platform.log.stdoutLines(),
              (std::vector<std::string>{
                  "intValue 100", "Error read(BCLM): (iokit/common) I/O Timeout", "intValue 0",
                  "Error read fan value: (iokit/common) device not responding",
                  "Error IOServiceOpen(): (iokit/common) device not responding", "intValue 100"}));
}

// A device on one connection that answers with the replies in turn, and hangs up after the
// last, shorter than a frame.
TEST_F(EmulatorSocket, ShortAndGarbledRepliesFailOrPassWithoutHarm) {
    const std::string garbled(EmulatorFrame::kSize, '\xFF');  // code -1, nonsense record
    const std::string succeeded = std::string(4, '\0') + garbled.substr(4);
    const std::string replies[] = {succeeded, succeeded, garbled, garbled.substr(0, 10)};
    ForkedDevice device([&](const std::function<void()>& listening) {
        const UniqueFd listener = unixSocket(path, true);
        if (!listener.valid()) return;
        listening();
        UniqueFd client(::accept(listener.get(), nullptr, nullptr));
        EmulatorFrame::Bytes request{};
        for (const std::string& answer : replies) {
            if (::recv(client.get(), request.data(), request.size(), MSG_WAITALL) !=
                static_cast<ssize_t>(request.size()))
                return;
            ::send(client.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    });
    SMC smc{platform.smc(), platform.log};
    ASSERT_EQ(smc.open(), 0);
    SMCVal_t value("BCLM");
    EXPECT_EQ(smc.read(value), 0);
    EXPECT_EQ(value.dataSize, 0xFFFFFFFFu);  // yet no more than 32 bytes copied
    EXPECT_EQ(value.bytes[31], 0xFF);
    EXPECT_EQ(smc.read(value), -1);                      // a code no table knows
    EXPECT_EQ(smc.read(value), kIOReturnNotResponding);  // ten bytes, then a hang-up
}

}  // namespace
}  // namespace ampwarden::test
