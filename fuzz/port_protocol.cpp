// The port protocol against two devices. A device made only of the fuzzer's bytes: every
// transaction ends within its bounded number of polls, whatever the status register says. An
// emulated SMC that the fuzzer's bytes stall and interrupt: what a read reports as done holds
// the key's real bytes, and a write reported as done is in the key.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "emulator/SmcPortDevice.h"
#include "platform/BorrowedPortIo.h"
#include "platform/MachError.h"
#include "platform/linux/PortIoSmcService.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeyData_t.h"
#include "smc/SMCKeys.h"
#include "smc/SmcPortProtocol.h"

using namespace ampwarden;

namespace {

constexpr SmcPortProtocol::Timing kTiming{
    std::chrono::microseconds{8}, std::chrono::microseconds{64}, std::chrono::microseconds{1000}};
// The most waits one transaction has: busy, nudge, command, four key bytes, length, 32 data
// bytes, the flush and the end.
constexpr int kMostWaits = 2 + 1 + 4 + 1 + 32 + SmcPortProtocol::kMaxFlush + 1;
constexpr auto kWaitTime = kTiming.budget + kTiming.longestPause;
constexpr const char* kKeys[] = {"BCLM", "CH0B", "F0Mx", "#KEY", "FS! ", "ZZZZ"};

class Bytes {
  public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t next(std::uint8_t otherwise = 0) { return empty() ? otherwise : data_[at_++]; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Every register reads as the fuzzer's next byte; once they run out the device stays busy.
class FuzzedPorts : public PortIo {
  public:
    explicit FuzzedPorts(Bytes& bytes) : bytes_(bytes) {}
    std::uint8_t in(std::uint16_t) override {
        ++reads;
        return bytes_.next(SmcPortProtocol::kStatusBusy);
    }
    void out(std::uint16_t, std::uint8_t) override {}
    void pause(std::chrono::microseconds duration) override { waited += duration; }

    std::uint64_t reads = 0;
    std::chrono::microseconds waited{0};

  private:
    Bytes& bytes_;
};

// An emulated SMC that, at the fuzzer's word, shows a stall on its status or loses the
// transaction under way, as a device another client cut in on would.
class StallingPorts : public PortIo {
  public:
    StallingPorts(SmcPortDevice& device, Bytes& bytes) : device_(device), bytes_(bytes) {}
    std::uint8_t in(std::uint16_t port) override {
        if (port != SmcPortProtocol::kCommandPort) return device_.in(port);
        // Faults show in the status the driver reads. A transaction lost between a status
        // read and the data read that follows cannot be told from a good one on the ports.
        const std::uint8_t fault = bytes_.next();
        if ((fault & 0xf0) == 0xf0) device_.restart();
        std::uint8_t value = device_.in(port);
        if ((fault & 0xf0) == 0xe0) {
            value |= fault & (SmcPortProtocol::kStatusBusy | SmcPortProtocol::kStatusInputFull);
        }
        return value;
    }
    void out(std::uint16_t port, std::uint8_t value) override { device_.out(port, value); }
    void pause(std::chrono::microseconds duration) override { device_.pause(duration); }

  private:
    SmcPortDevice& device_;
    Bytes& bytes_;
};

void fuzzedDevice(Bytes& bytes) {
    FuzzedPorts ports(bytes);
    SmcPortProtocol protocol(ports, kTiming);
    for (int op = 0; op < 8 && !bytes.empty(); ++op) {
        const auto waitedBefore = ports.waited;
        const std::uint8_t choice = bytes.next();
        std::array<std::uint8_t, 32> data{};
        std::uint8_t result = 0;
        const std::size_t size = 1 + choice % 32;
        const std::uint32_t key = toUInt32(kKeys[choice % std::size(kKeys)]);
        switch ((choice >> 5) % 4) {
            case 0:
                protocol.read(SmcPortProtocol::kReadCommand, key, data.data(), size, result);
                break;
            case 1:
                protocol.write(key, data.data(), size, result);
                break;
            case 2: {
                SmcPortProtocol::KeyInfo info;
                protocol.keyInfo(key, info, result);
                break;
            }
            default: {
                std::uint32_t found = 0;
                protocol.keyAt(choice, found, result);
            }
        }
        if (ports.waited - waitedBefore > kMostWaits * kWaitTime) std::abort();
    }
}

kern_return_t call(SmcService& service, io_connect_t connection, SMCKeyData_t& input,
                   SMCKeyData_t& output) {
    std::size_t size = sizeof(output);
    return service.callStructMethod(connection, static_cast<std::uint32_t>(SMCKeys::kernelIndex),
                                    &input, sizeof(input), &output, size);
}

void stallingDevice(Bytes& bytes) {
    SmcPortDevice device;
    device.faults.leftoverBytes = bytes.next() % 24;
    device.faults.slowness = std::chrono::microseconds{bytes.next() % 200};
    StallingPorts ports(device, bytes);
    PortIoSmcService service(std::make_unique<BorrowedPortIo>(ports), "", kTiming);
    std::vector<io_service_t> services;
    io_connect_t connection = 0;
    service.getMatchingServices("AppleSMC", services);
    if (services.empty() || service.serviceOpen(services[0], 0, connection) != kKernSuccess) {
        std::abort();
    }
    for (int op = 0; op < 6 && !bytes.empty(); ++op) {
        const std::uint8_t choice = bytes.next();
        const char* name = kKeys[choice % 3];  // keys the device has and lets us write
        const EmulatedKey* key = device.table().find(std::string_view(name));
        SMCKeyData_t input;
        SMCKeyData_t output;
        input.key = toUInt32(name);
        input.keyInfo.dataSize = static_cast<std::uint32_t>(key->bytes.size());
        if (choice & 0x80) {
            input.data8 = static_cast<std::uint8_t>(SMCKeys::writeBytes);
            for (std::size_t i = 0; i < key->bytes.size(); ++i) input.bytes[i] = bytes.next();
            if (call(service, connection, input, output) == kKernSuccess &&
                !std::equal(key->bytes.begin(), key->bytes.end(), input.bytes.begin())) {
                std::abort();  // reported as written, but the key holds something else
            }
        } else {
            input.data8 = static_cast<std::uint8_t>(SMCKeys::readBytes);
            if (call(service, connection, input, output) == kKernSuccess &&
                !std::equal(key->bytes.begin(), key->bytes.end(), output.bytes.begin())) {
                std::abort();  // reported as read, but not the key's bytes
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Bytes bytes(data + 1, size - 1);
    if (data[0] & 1) {
        stallingDevice(bytes);
    } else {
        fuzzedDevice(bytes);
    }
    return 0;
}
