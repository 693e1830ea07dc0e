// The helper under load: how many commands it carries out per second, and how much memory it
// holds while a flood waits for it, each against a responder that does no work.
//
// Throughput: SMC-status commands (the main app owns "lumora.Battery" and has opened the SMC)
// posted from one connection with at most kWindow unanswered at a time, timed from the first
// posting to the last answer; the same through EchoResponder.
//
// Flood: kFloodClients processes, each with a connection of its own that only sends, post
// kFloodCommands commands between them as fast as they can. The bench counts the answers
// while it samples the responder's resident memory (VmRSS) every few milliseconds, until all
// are answered. The helper's watchdog ticks during the flood; the main app must still count as
// running afterwards (no "close" answer).
//
//   command_flood [--bin-dir DIR] [benchmark flags]     (as root)
#include <benchmark/benchmark.h>

#include <cstdio>

#include "BusRig.h"
#include "platform/DBusNames.h"

using namespace ampwarden;

namespace {

constexpr int kThroughputCommands = 20000;
constexpr std::uint64_t kWindow = 256;
constexpr int kFloodClients = 4;
constexpr int kFloodCommands = 100000;
constexpr double kSampleSeconds = 0.005;
constexpr double kDrainTimeoutSeconds = 300;
constexpr std::uint64_t kMemoryTargetKiB = 16 * 1024;

// The helper lets identical queries that arrive in a flood share one answer, so its progress is
// counted by a marker: root's OpenSMC, never shared, answered once everything posted before
// it has been read. The echo answers every command.
struct Target {
    const char* label;
    const char* command;
    const char* answer;
    const char* marker = nullptr;
    const char* markerAnswer = nullptr;
};
const Target kHelper{"helper", names::kSMCStatus, names::kSMCStatusAnswer, names::kOpenSMC,
                     names::kOpenSMCAnswer};
const Target kEcho{"echo", bench::kEchoCommand, bench::kEchoAnswer};

// Posts the marker (if the target has one) and says how many of which answer mean that
// `posted` more commands have all been dealt with.
std::pair<const char*, std::uint64_t> progress(bench::BusClient& client, const Target& target,
                                               std::uint64_t answersBase, std::uint64_t markersBase,
                                               std::uint64_t posted, std::uint64_t& markers) {
    if (target.marker == nullptr) return {target.answer, answersBase + posted};
    client.post(target.marker);
    return {target.markerAnswer, markersBase + ++markers};
}

struct Flood {
    double seconds = 0;
    std::uint64_t peakKiB = 0;
    std::uint64_t hwmKiB = 0;
    std::uint64_t startKiB = 0;
};

bench::Rig* rig = nullptr;
pid_t echoPid = -1;
std::map<std::string, double> throughput;  // commands per second, by label
std::map<std::string, Flood> floods;
std::uint64_t closesBefore = 0;

pid_t pidOf(const Target& target) { return &target == &kHelper ? rig->helper().pid() : echoPid; }

void Throughput(benchmark::State& state, const Target& target) {
    bench::BusClient& client = rig->client();
    for (auto _ : state) {
        const std::uint64_t base = client.count(target.answer);
        const std::uint64_t markersBase =
            target.markerAnswer != nullptr ? client.count(target.markerAnswer) : 0;
        std::uint64_t markers = 0;
        const double start = bench::monotonicSeconds();
        for (std::uint64_t posted = 0; posted < kThroughputCommands; ++posted) {
            if (posted >= kWindow && posted % kWindow == 0) {
                auto [answer, wanted] =
                    progress(client, target, base, markersBase, posted - kWindow + 1, markers);
                if (!client.waitForCount(answer, target.marker ? wanted - 1 : wanted, 10)) {
                    state.SkipWithError("answers stopped coming");
                    return;
                }
            }
            client.post(target.command);
        }
        auto [answer, wanted] =
            progress(client, target, base, markersBase, kThroughputCommands, markers);
        if (!client.waitForCount(answer, wanted, 10)) {
            state.SkipWithError("answers stopped coming");
            return;
        }
        const double seconds = bench::monotonicSeconds() - start;
        state.SetIterationTime(seconds);
        throughput[target.label] = kThroughputCommands / seconds;
        state.counters["commands_per_s"] = kThroughputCommands / seconds;
    }
}
BENCHMARK_CAPTURE(Throughput, Helper, kHelper)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Throughput, Echo, kEcho)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// A flooding client: posts `count` commands on a connection that receives nothing, then leaves.
pid_t startFlooder(const char* command, int count) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) < 0) _exit(1);
    sd::BusPtr bus(raw);
    for (int i = 0; i < count; ++i) {
        if (sd_bus_emit_signal(raw, dbus::kObjectPath, dbus::kInterface, dbus::kDarwinSignal, "s",
                               command) < 0) {
            _exit(2);
        }
    }
    _exit(sd_bus_flush(raw) < 0 ? 3 : 0);
}

void FloodMemory(benchmark::State& state, const Target& target) {
    bench::BusClient& client = rig->client();
    const pid_t pid = pidOf(target);
    for (auto _ : state) {
        Flood flood;
        flood.startKiB = bench::statusKiB(pid, "VmRSS");
        const std::uint64_t base = client.count(target.answer);
        const std::uint64_t markersBase =
            target.markerAnswer != nullptr ? client.count(target.markerAnswer) : 0;
        std::uint64_t markers = 0;
        const double start = bench::monotonicSeconds();
        std::vector<pid_t> flooders;
        for (int i = 0; i < kFloodClients; ++i) {
            flooders.push_back(startFlooder(target.command, kFloodCommands / kFloodClients));
        }
        // The flooders have handed everything to the bus before the marker is posted.
        bool posted = true;
        for (pid_t flooder : flooders) {
            int status = 0;
            while (waitpid(flooder, &status, WNOHANG) == 0) {
                flood.peakKiB = std::max(flood.peakKiB, bench::statusKiB(pid, "VmRSS"));
                if (target.marker == nullptr)
                    client.waitForCount(target.answer, ~0ull, kSampleSeconds);
                else
                    bench::sleepSeconds(kSampleSeconds);
            }
            posted = WIFEXITED(status) && WEXITSTATUS(status) == 0 && posted;
        }
        auto [answer, wanted] =
            progress(client, target, base, markersBase, kFloodCommands, markers);
        bool drained = false;
        while (!drained && bench::monotonicSeconds() - start < kDrainTimeoutSeconds) {
            drained = client.waitForCount(answer, wanted, kSampleSeconds);
            flood.peakKiB = std::max(flood.peakKiB, bench::statusKiB(pid, "VmRSS"));
        }
        flood.seconds = bench::monotonicSeconds() - start;
        flood.hwmKiB = bench::statusKiB(pid, "VmHWM");
        if (!drained || !posted) {
            state.SkipWithError(posted ? "the flood was not all answered" : "a flooder failed");
            return;
        }
        state.SetIterationTime(flood.seconds);
        floods[target.label] = flood;
        state.counters["commands_per_s"] = kFloodCommands / flood.seconds;
        state.counters["peak_rss_kib"] = static_cast<double>(flood.peakKiB);
    }
}
BENCHMARK_CAPTURE(FloodMemory, Helper, kHelper)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(FloodMemory, Echo, kEcho)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void printSummary() {
    std::printf("\nSustained throughput (%d SMC-status commands, at most %llu unanswered):\n",
                kThroughputCommands, static_cast<unsigned long long>(kWindow));
    for (const auto& [label, rate] : throughput) {
        std::printf("  %-7s %9.0f commands/s\n", label.c_str(), rate);
    }
    std::printf("Flood of %d commands from %d clients, until all read and answered:\n",
                kFloodCommands, kFloodClients);
    std::printf("  %-7s %9s %12s %12s %12s %12s\n", "", "seconds", "commands/s", "RSS before",
                "RSS peak", "VmHWM");
    for (const auto& [label, flood] : floods) {
        std::printf("  %-7s %9.2f %12.0f %9llu KiB %9llu KiB %9llu KiB\n", label.c_str(),
                    flood.seconds, kFloodCommands / flood.seconds,
                    static_cast<unsigned long long>(flood.startKiB),
                    static_cast<unsigned long long>(flood.peakKiB),
                    static_cast<unsigned long long>(flood.hwmKiB));
    }
    const auto helper = floods.find(kHelper.label);
    if (helper != floods.end()) {
        std::printf("Target: the helper's resident memory under %llu KiB: %s\n",
                    static_cast<unsigned long long>(kMemoryTargetKiB),
                    helper->second.hwmKiB < kMemoryTargetKiB ? "met" : "NOT met");
    }
    const bool closed = rig->client().count(names::kCloseSMCAnswer) != closesBefore;
    std::printf("The main app still counted as running after the flood: %s\n",
                closed ? "NO (the helper answered close)" : "yes");
}

}  // namespace

int main(int argc, char** argv) {
    auto started = bench::startFromArguments(argc, argv);
    if (!started) return 1;
    rig = started.get();
    const bench::EchoResponder echo;
    echoPid = echo.pid();
    std::string error =
        echo.ready() ? bench::openAsMainApp(rig->client()) : "the echo responder did not start";
    closesBefore = rig->client().count(names::kCloseSMCAnswer);
    return bench::runBenchmarks(*rig, error, printSummary);
}
