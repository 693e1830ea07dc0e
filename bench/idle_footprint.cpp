// Whether the helper sleeps between the watchdog's ticks, and how much memory it holds.
//
// After a warm-up (the bench owns "lumora.Battery" as the main app, the SMC is open, a few
// commands have been answered) the helper is left alone for --idle-seconds (25 by default)
// while the context switches of all its threads (/proc/PID/task/*/status) are sampled every
// 20 ms. Samples in which the count rises, closer together than kSameWakeUpSeconds, make one
// wake-up. The watchdog's check every 10 s is the only wake-up expected; its bus call makes it
// a few context switches. VmRSS is sampled alongside, VmHWM read at the end.
//
//   idle_footprint [--bin-dir DIR] [--idle-seconds N] [benchmark flags]     (as root)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>

#include "BusRig.h"

using namespace ampwarden;

namespace {

constexpr double kDefaultIdleSeconds = 25;
constexpr double kSampleSeconds = 0.02;
constexpr double kSameWakeUpSeconds = 0.2;
constexpr double kWatchdogSeconds = 10;
// Ticks have no leeway; the margin is for sampling and scheduling.
constexpr double kTickMarginSeconds = 0.3;
constexpr long kRssLimitKiB = 8 * 1024;
constexpr int kWarmUpCommands = 20;

struct Sample {
    double at = 0;
    std::uint64_t switches = 0;
    long rssKiB = 0;
};

struct WakeUp {
    double at = 0;  // seconds into the idle time
    std::uint64_t switches = 0;
};

struct Findings {
    double seconds = 0;
    std::vector<WakeUp> wakeUps;
    std::uint64_t switches = 0;
    long maxRssKiB = 0;
    long hwmKiB = 0;
};

bench::Rig* rig = nullptr;
double idleSeconds = kDefaultIdleSeconds;
Findings findings;

// A "Name:   value kB" field of a status file; -1 when absent.
long statusField(const std::string& path, const std::string& field) {
    std::ifstream status(path);
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + field.size());
    }
    return -1;
}

std::uint64_t contextSwitches(pid_t pid) {
    std::uint64_t total = 0;
    std::error_code error;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        const std::string status = task.path().string() + "/status";
        for (const char* field : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            total += static_cast<std::uint64_t>(std::max(0L, statusField(status, field)));
        }
    }
    return total;
}

std::vector<Sample> sampleIdle(pid_t pid, double seconds) {
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    std::vector<Sample> samples;
    const double start = bench::monotonicSeconds();
    for (double now = start; now - start <= seconds; now = bench::monotonicSeconds()) {
        samples.push_back({now - start, contextSwitches(pid), statusField(status, "VmRSS:")});
        bench::sleepSeconds(kSampleSeconds);
    }
    return samples;
}

std::vector<WakeUp> wakeUpsIn(const std::vector<Sample>& samples) {
    std::vector<WakeUp> found;
    double lastRise = -1;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const std::uint64_t rise = samples[i].switches - samples[i - 1].switches;
        if (rise == 0) continue;
        if (found.empty() || samples[i].at - lastRise > kSameWakeUpSeconds) {
            found.push_back({samples[i - 1].at, 0});
        }
        found.back().switches += rise;
        lastRise = samples[i].at;
    }
    return found;
}

// Only watchdog ticks: consecutive wake-ups are a whole tick apart.
bool onlyTicks(const std::vector<WakeUp>& wakeUps) {
    for (std::size_t i = 1; i < wakeUps.size(); ++i) {
        if (wakeUps[i].at - wakeUps[i - 1].at < kWatchdogSeconds - kTickMarginSeconds) {
            return false;
        }
    }
    return true;
}

void Idle(benchmark::State& state) {
    const pid_t pid = rig->helper().pid();
    for (auto _ : state) {
        const auto samples = sampleIdle(pid, idleSeconds);
        findings.seconds = samples.back().at;
        findings.wakeUps = wakeUpsIn(samples);
        findings.switches = samples.back().switches - samples.front().switches;
        for (const auto& sample : samples) {
            findings.maxRssKiB = std::max(findings.maxRssKiB, sample.rssKiB);
        }
        state.SetIterationTime(findings.seconds);
    }
    findings.hwmKiB = statusField("/proc/" + std::to_string(pid) + "/status", "VmHWM:");
    const double wakeUps = static_cast<double>(findings.wakeUps.size());
    state.counters["wakeups"] = wakeUps;
    state.counters["wakeups_per_10s"] = wakeUps * kWatchdogSeconds / findings.seconds;
    state.counters["ctxt_switches"] = static_cast<double>(findings.switches);
    state.counters["max_rss_kib"] = static_cast<double>(findings.maxRssKiB);
    state.counters["hwm_kib"] = static_cast<double>(findings.hwmKiB);
}
BENCHMARK(Idle)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

std::string warmUp(bench::BusClient& client) {
    if (auto error = bench::openAsMainApp(client); !error.empty()) return error;
    for (int i = 0; i < kWarmUpCommands; ++i) {
        if (!client.ask(names::kSMCStatus, names::kSMCStatusAnswer) ||
            !client.ask(names::kQueryChargingStatus, names::kChargingStatusAnswer)) {
            return "no answer while warming up";
        }
    }
    bench::sleepSeconds(1);  // let the helper settle
    return {};
}

void printSummary() {
    if (findings.seconds <= 0) return;
    std::printf("\nIdle for %.1f s: %zu wake-ups, %llu context switches\n", findings.seconds,
                findings.wakeUps.size(), static_cast<unsigned long long>(findings.switches));
    for (const auto& wakeUp : findings.wakeUps) {
        std::printf("  at %6.2f s: %llu context switches\n", wakeUp.at,
                    static_cast<unsigned long long>(wakeUp.switches));
    }
    std::printf("VmRSS at most %ld KiB while idle, VmHWM %ld KiB\n", findings.maxRssKiB,
                findings.hwmKiB);
    std::printf("Target: no wake-ups between watchdog ticks (%.0f s): %s\n", kWatchdogSeconds,
                onlyTicks(findings.wakeUps) ? "met" : "NOT met");
    std::printf("Target: resident memory under %ld KiB: %s (VmRSS), %s (VmHWM)\n", kRssLimitKiB,
                findings.maxRssKiB < kRssLimitKiB ? "met" : "NOT met",
                findings.hwmKiB < kRssLimitKiB ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string binDir = bench::binDirectory(argc, argv);
    const std::string seconds = bench::takeOption(argc, argv, "idle-seconds");
    if (!seconds.empty()) idleSeconds = std::atof(seconds.c_str());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!(idleSeconds > 0)) {
        std::fprintf(stderr, "--idle-seconds wants a positive number of seconds\n");
        return 1;
    }
    auto started = bench::startRig(binDir);
    if (!started) return 1;
    rig = started.get();
    return bench::runBenchmarks(*rig, warmUp(rig->client()), printSummary);
}
