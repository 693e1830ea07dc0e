// What a key read costs through the emulator socket, and how much of it is the seam.
//
// BareRoundTrip is the floor: one 84-byte request and one 84-byte reply on a connected Unix
// socket to the same server, with plain blocking write/read. StructCall is one call through
// EmulatorSmcService (framing, deadline, poll); SmcRead is SMC::read, two struct calls. The
// seam's cost per struct call is StructCall minus BareRoundTrip. EngineCall is the emulated
// device alone, in memory.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "emulator/SmcEmulator.h"
#include "platform/linux/EmulatorSmcServer.h"
#include "platform/linux/EmulatorSmcService.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/UniqueFd.h"
#include "smc/SMC.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"

using namespace ampwarden;

namespace {

// The emulated SMC on a socket in a scratch folder, served from a thread, with the Linux
// platform pointed at it.
class BenchDevice {
  public:
    BenchDevice() {
        char pattern[] = "/tmp/ampwarden-smc-bench-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        path_ = folder_ + "/smc.sock";
        ::setenv("LUMORA_SMC_EMULATOR", path_.c_str(), 1);
        server_ = std::make_unique<EmulatorSmcServer>(device_, path_);
        if (!server_->listen().empty()) std::abort();
        thread_ = std::thread([this] { server_->run(); });
        platform_ = std::make_unique<LinuxPlatform>();
    }
    ~BenchDevice() {
        server_->stop();
        thread_.join();
        server_.reset();
        std::filesystem::remove_all(folder_);
    }

    const std::string& path() const { return path_; }
    LinuxPlatform& platform() { return *platform_; }

  private:
    std::string folder_;
    std::string path_;
    SmcEmulator device_;
    std::unique_ptr<EmulatorSmcServer> server_;
    std::thread thread_;
    std::unique_ptr<LinuxPlatform> platform_;
};

BenchDevice& benchDevice() {
    static BenchDevice device;
    return device;
}

SMCKeyData_t keyInfoRequest() {
    SMCKeyData_t record;
    record.key = toUInt32("BCLM");
    record.data8 = rawValue(SMCKeys::readKeyInfo);
    return record;
}

void countCalls(benchmark::State& state, int callsPerIteration) {
    const double calls = static_cast<double>(state.iterations()) * callsPerIteration;
    state.counters["struct_calls/s"] = benchmark::Counter(calls, benchmark::Counter::kIsRate);
    state.counters["time/struct_call"] =
        benchmark::Counter(calls, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BareRoundTrip(benchmark::State& state) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, benchDevice().path().c_str(), sizeof(address.sun_path) - 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    const EmulatorFrame::Bytes request = EmulatorFrame::request(2, keyInfoRequest());
    EmulatorFrame::Bytes reply{};
    for (auto _ : state) {
        if (::write(fd.get(), request.data(), request.size()) != ssize_t(request.size()) ||
            ::recv(fd.get(), reply.data(), reply.size(), MSG_WAITALL) != ssize_t(reply.size())) {
            state.SkipWithError("round trip failed");
            return;
        }
        benchmark::DoNotOptimize(reply);
    }
    countCalls(state, 1);
}
BENCHMARK(BareRoundTrip)->UseRealTime();

void StructCall(benchmark::State& state) {
    EmulatorSmcService service(benchDevice().path());
    io_connect_t connection = 0;
    if (service.serviceOpen(1, 0, connection) != 0) {
        state.SkipWithError("cannot open");
        return;
    }
    const SMCKeyData_t input = keyInfoRequest();
    SMCKeyData_t output;
    for (auto _ : state) {
        std::size_t size = sizeof(output);
        if (service.callStructMethod(connection, 2, &input, sizeof(input), &output, size) != 0) {
            state.SkipWithError("call failed");
            return;
        }
        benchmark::DoNotOptimize(output);
    }
    countCalls(state, 1);
}
BENCHMARK(StructCall)->UseRealTime();

void SmcRead(benchmark::State& state) {
    LinuxPlatform& platform = benchDevice().platform();
    SMC smc{platform.smc(), platform.diagnostics()};
    if (smc.open() != 0) {
        state.SkipWithError("cannot open");
        return;
    }
    for (auto _ : state) {
        SMCVal_t value("BCLM");
        if (smc.read(value) != 0) {
            state.SkipWithError("read failed");
            return;
        }
        benchmark::DoNotOptimize(value);
    }
    countCalls(state, 2);
    state.counters["reads/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(SmcRead)->UseRealTime();

void EngineCall(benchmark::State& state) {
    SmcEmulator device;
    const EmulatorFrame::Bytes request = EmulatorFrame::request(2, keyInfoRequest());
    for (auto _ : state) benchmark::DoNotOptimize(device.answer(request));
    countCalls(state, 1);
}
BENCHMARK(EngineCall);

}  // namespace

BENCHMARK_MAIN();
