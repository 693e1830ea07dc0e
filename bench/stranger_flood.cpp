// What a stranger's flood does to the person at the machine. A stranger (uid 65534) opens 0, 50
// or 200 connections and posts 32 "charge off" commands on each every 0.2 s, or floods the
// charging-status query from 50; meanwhile the console user (uid 1000, the fake logind's active
// session) posts "limit on" and "limit off" in turn every 0.5 s, 32 times, each over a fresh
// connection, as ampwardenctl does. Per load: the console user's commands that got no answer
// within 5 s, p50/p99 of the ones that did, the helper's peak resident memory and the bus
// daemon's growth. Targets: none lost, each within 1 s, the helper under 16 MiB, the bus
// daemon's growth under 64 MiB.

#include <algorithm>
#include <cstdio>
#include <vector>

#include "BusRig.h"
#include "platform/DBusNames.h"

using namespace ampwarden;

namespace {

constexpr uid_t kStranger = 65534;
constexpr uid_t kConsoleUser = 1000;
constexpr int kConsoleCommands = 32;
constexpr int kBurst = 32;
constexpr double kAnswerTimeoutSeconds = 5;

struct Load {
    const char* label;
    int connections;
    const char* command;
};
struct Result {
    int lost = 0;
    double p50 = 0;
    double p99 = 0;
    std::uint64_t helperPeakKiB = 0;
    std::int64_t busGrowthKiB = 0;
};

bench::Rig* rig = nullptr;
std::vector<std::pair<std::string, Result>> results;

// The console user: each command's round trip in seconds to `fd`, negative when it got no answer.
[[noreturn]] void console(int fd) {
    if (!bench::becomeUser(kConsoleUser)) _exit(1);
    for (int i = 0; i < kConsoleCommands; ++i) {
        const bool on = i % 2 == 0;
        bench::BusClient client;
        const double start = bench::monotonicSeconds();
        const bool answered =
            client.connected() &&
            client.ask(on ? names::kSetEnableChargingLimitMax : names::kSetDisableChargingLimitMax,
                       on ? names::kSetEnableChargingLimitMaxAnswer
                          : names::kSetDisableChargingLimitMaxAnswer,
                       kAnswerTimeoutSeconds);
        const double took = answered ? bench::monotonicSeconds() - start : -1;
        if (::write(fd, &took, sizeof took) != static_cast<ssize_t>(sizeof took)) _exit(3);
        bench::sleepSeconds(std::max(0.0, 0.5 - (answered ? took : 0)));
    }
    _exit(0);
}

void StrangerFlood(benchmark::State& state, Load load) {
    for (auto _ : state) {
        Result result;
        const pid_t helper = rig->helper().pid();
        const std::uint64_t busBefore = bench::statusKiB(rig->busPid(), "VmRSS");
        std::uint64_t busPeak = busBefore;
        int stop[2];
        int times[2];
        if (pipe2(stop, O_CLOEXEC) != 0 || pipe2(times, O_CLOEXEC) != 0) {
            state.SkipWithError("no pipe");
            return;
        }
        const pid_t stranger = bench::forkChild([&] {
            close(stop[1]);
            close(times[0]);
            close(times[1]);
            bench::postFromConnections(stop[0], kStranger, load.connections, kBurst, load.command);
        });
        bench::sleepSeconds(1);  // the flood under way
        const pid_t user = bench::forkChild([&] {
            close(stop[1]);
            close(times[0]);
            console(times[1]);
        });
        close(times[1]);
        std::vector<double> took;
        double one = 0;
        pollfd ready{times[0], POLLIN, 0};
        for (;;) {
            result.helperPeakKiB =
                std::max(result.helperPeakKiB, bench::statusKiB(helper, "VmRSS"));
            busPeak = std::max(busPeak, bench::statusKiB(rig->busPid(), "VmRSS"));
            if (poll(&ready, 1, 50) == 0) continue;
            if (read(times[0], &one, sizeof one) != static_cast<ssize_t>(sizeof one)) break;
            if (one < 0)
                ++result.lost;
            else
                took.push_back(one);
        }
        close(times[0]);
        close(stop[1]);
        waitpid(user, nullptr, 0);
        waitpid(stranger, nullptr, 0);
        close(stop[0]);
        std::sort(took.begin(), took.end());
        result.lost += kConsoleCommands - static_cast<int>(took.size()) - result.lost;
        if (!took.empty()) {
            result.p50 = took[took.size() / 2];
            result.p99 = took[std::min(took.size() - 1, took.size() * 99 / 100)];
        }
        result.busGrowthKiB =
            static_cast<std::int64_t>(busPeak) - static_cast<std::int64_t>(busBefore);
        state.SetIterationTime(1);
        state.counters["lost"] = result.lost;
        results.emplace_back(load.label, result);
        bench::sleepSeconds(6);  // the stranger's refusal expires before the next load
    }
}
BENCHMARK_CAPTURE(StrangerFlood, None, Load{"0 connections", 0, names::kSetDisableCharging})
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(StrangerFlood, Control50, Load{"50 x control", 50, names::kSetDisableCharging})
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(StrangerFlood, Control200, Load{"200 x control", 200, names::kSetDisableCharging})
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(StrangerFlood, Query50,
                  Load{"50 x charging-status", 50, names::kQueryChargingStatus})
    ->UseManualTime()
    ->Iterations(1);

void printSummary() {
    std::printf("\n%-22s %6s %9s %9s %14s %14s\n", "stranger load", "lost", "p50 ms", "p99 ms",
                "helper peak", "bus growth");
    bool met = true;
    for (const auto& [label, r] : results) {
        std::printf("%-22s %3d/%d %9.1f %9.1f %10llu KiB %10lld KiB\n", label.c_str(), r.lost,
                    kConsoleCommands, r.p50 * 1e3, r.p99 * 1e3,
                    static_cast<unsigned long long>(r.helperPeakKiB),
                    static_cast<long long>(r.busGrowthKiB));
        met = met && r.lost == 0 && r.p99 < 1 && r.helperPeakKiB < 16 * 1024 &&
              r.busGrowthKiB < 64 * 1024;
    }
    std::printf("Targets (none lost, each within 1 s, helper < 16 MiB, bus growth < 64 MiB): %s\n",
                met ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    return bench::runAsMainAppAmongUsers(argc, argv, rig, printSummary);
}
