// What a key read and a key write cost through the real-hardware SMC backends.
//
// Port*: the port backend against the emulated port device (no pauses needed: the device is
// always ready), counting port accesses and status polls per operation next to the protocol's
// minimum for a one-byte key: a read is a busy check, the command (after a poll of the input
// buffer), four key bytes and the length (each after a poll that sees the byte before taken
// and the transaction acknowledged), the data byte after its poll, a poll for leftovers and
// one for the end: 10 polls, 6 writes, 1 data read = 17 accesses. A write is 9
// polls and 7 writes = 16 accesses, and the backend reads the value back (17 more). Key
// information is asked once per key and kept, so it costs nothing here.
// KernelWrite: one "BCLM" write through the kernel-attribute backend, onto a plain file in a
// scratch tree (a sysfs attribute costs its driver's time on top).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "emulator/SmcPortDevice.h"
#include "platform/BorrowedPortIo.h"
#include "platform/MachError.h"
#include "platform/linux/KernelAttributeSmcService.h"
#include "platform/linux/PortIoSmcService.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"

using namespace ampwarden;

namespace {

kern_return_t call(SmcService& service, io_connect_t connection, SMCKeys command,
                   std::uint8_t value, SMCKeyData_t& output) {
    SMCKeyData_t input;
    input.key = toUInt32("BCLM");
    input.data8 = rawValue(command);
    input.keyInfo.dataSize = 1;
    input.bytes[0] = value;
    std::size_t size = sizeof(output);
    return service.callStructMethod(connection, rawValue(SMCKeys::kernelIndex), &input,
                                    sizeof(input), &output, size);
}

io_connect_t openService(SmcService& service) {
    io_connect_t connection = 0;
    if (service.serviceOpen(1, 0, connection) != kKernSuccess) std::abort();
    return connection;
}

// A read as the SMC class makes it: key information, then the bytes.
void read(SmcService& service, io_connect_t connection) {
    SMCKeyData_t output;
    if (call(service, connection, SMCKeys::readKeyInfo, 0, output) != kKernSuccess ||
        call(service, connection, SMCKeys::readBytes, 0, output) != kKernSuccess) {
        std::abort();
    }
    benchmark::DoNotOptimize(output);
}

void write(SmcService& service, io_connect_t connection, std::uint8_t value) {
    SMCKeyData_t output;
    if (call(service, connection, SMCKeys::writeBytes, value, output) != kKernSuccess) std::abort();
}

void countPerOp(benchmark::State& state, const SmcPortDevice& device, double minimumAccesses,
                double minimumPolls) {
    const double ops = static_cast<double>(state.iterations());
    state.counters["accesses/op"] = static_cast<double>(device.counts.accesses()) / ops;
    state.counters["polls/op"] = static_cast<double>(device.counts.statusPolls) / ops;
    state.counters["min accesses"] = minimumAccesses;
    state.counters["min polls"] = minimumPolls;
}

void PortRead(benchmark::State& state) {
    SmcPortDevice device;
    PortIoSmcService service(std::make_unique<BorrowedPortIo>(device), "");
    const io_connect_t connection = openService(service);
    read(service, connection);  // learns the key's information
    device.counts = {};
    for (auto _ : state) read(service, connection);
    countPerOp(state, device, 17, 10);
}
BENCHMARK(PortRead);

void PortWrite(benchmark::State& state) {
    SmcPortDevice device;
    PortIoSmcService service(std::make_unique<BorrowedPortIo>(device), "");
    const io_connect_t connection = openService(service);
    read(service, connection);
    device.counts = {};
    std::uint8_t value = 0;
    for (auto _ : state) write(service, connection, value++ % 101);
    countPerOp(state, device, 16, 9);
}
BENCHMARK(PortWrite);

void KernelWrite(benchmark::State& state) {
    char pattern[] = "/tmp/ampwarden-kernel-bench-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    const std::string battery = root + "/sys/class/power_supply/BAT0";
    std::filesystem::create_directories(battery);
    std::ofstream(battery + "/type") << "Battery\n";
    std::ofstream(battery + "/charge_control_end_threshold") << "100\n";
    HostFiles files(root);
    std::string why;
    const auto attributes = KernelAttributeSmcService::find(files, why);
    if (!attributes) std::abort();
    KernelAttributeSmcService service(files, *attributes);
    const io_connect_t connection = openService(service);
    std::uint8_t value = 0;
    for (auto _ : state) write(service, connection, value++ % 101);
    std::filesystem::remove_all(root);
}
BENCHMARK(KernelWrite)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
