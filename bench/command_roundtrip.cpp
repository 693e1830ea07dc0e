// What a command costs the main app end to end: posted on the bus, handled by the helper,
// answered on the bus, against the same trip through a responder that does no work.
//
// SMCStatus touches no SMC key; ChargingStatus reads "BCLM" and "CH0I" (four struct calls to
// the emulator) with the connection open and the bench owning "lumora.Battery" as the main app.
// Every iteration also times one round trip through EchoResponder, a process that answers at
// once with a dictionary of the same shape over the same channel code. The two alternate in order,
// so both see the same load on the machine; the summary compares their percentiles, the helper's
// own share being the difference.
//
// OpenSMC (the connection is already open, so no SMC access) needs its sender's authorisation:
// it is timed from root (no check), and from uid 1000, the user of the active session, in a
// child process: over one connection, whose decision the helper reuses for a few seconds, and
// over a fresh connection per command, which the helper must decide on anew every time (the
// bench's bus has no polkit, so that is the console-session rule: two questions to logind).
//
//   command_roundtrip [--bin-dir DIR] [benchmark flags]     (as root)
#include <benchmark/benchmark.h>
#include <grp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "BusRig.h"
#include "platform/linux/UniqueFd.h"

using namespace ampwarden;

namespace {

constexpr int kRoundTrips = 3000;
// Each needs a connection of its own, set up outside the timing.
constexpr int kFreshSenderRoundTrips = 300;
constexpr uid_t kConsoleUser = 1000;  // owns the fake logind's active session
constexpr int kWarmUpRoundTrips = 200;
constexpr double kAnswerTimeoutSeconds = 5.0;
// The SMC-status command may cost at most this much more than a bare echo (median).
constexpr double kSmcStatusTargetRatio = 1.3;

using bench::EchoResponder;
using bench::kEchoAnswer;
using bench::kEchoCommand;

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};

struct Comparison {
    Percentiles command;
    Percentiles echo;
};

bench::Rig* rig = nullptr;
std::map<std::string, Comparison> results;  // by label, the latest run

// Nearest rank, in microseconds.
Percentiles percentiles(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    auto at = [&](double p) {
        const auto rank = static_cast<std::size_t>(std::ceil(p * double(seconds.size())));
        return seconds[std::max<std::size_t>(rank, 1) - 1] * 1e6;
    };
    return seconds.empty() ? Percentiles{} : Percentiles{at(0.50), at(0.99)};
}

// Seconds from posting the command to reading its answer; negative when none came.
double timedRoundTrip(const char* command, const char* answer) {
    const double start = bench::monotonicSeconds();
    if (!rig->client().ask(command, answer, kAnswerTimeoutSeconds)) return -1;
    return bench::monotonicSeconds() - start;
}

// One command of the helper, with the answer it brings.
struct Command {
    const char* label;
    const char* name;
    const char* answer;
};
const Command kSmcStatus{"SMCStatus", names::kSMCStatus, names::kSMCStatusAnswer};
const Command kChargingStatus{"ChargingStatus", names::kQueryChargingStatus,
                              names::kChargingStatusAnswer};
const Command kOpenSmc{"OpenSMC root", names::kOpenSMC, names::kOpenSMCAnswer};

void RoundTrip(benchmark::State& state, const Command& command) {
    std::vector<double> own;
    std::vector<double> echo;
    own.reserve(kRoundTrips);
    echo.reserve(kRoundTrips);
    bool commandFirst = false;
    for (auto _ : state) {
        commandFirst = !commandFirst;
        double viaHelper = 0;
        double viaEcho = 0;
        if (commandFirst) {
            viaHelper = timedRoundTrip(command.name, command.answer);
            viaEcho = timedRoundTrip(kEchoCommand, kEchoAnswer);
        } else {
            viaEcho = timedRoundTrip(kEchoCommand, kEchoAnswer);
            viaHelper = timedRoundTrip(command.name, command.answer);
        }
        if (viaHelper < 0 || viaEcho < 0) {
            state.SkipWithError("an answer did not come within 5 s");
            return;
        }
        state.SetIterationTime(viaHelper);
        own.push_back(viaHelper);
        echo.push_back(viaEcho);
    }
    const Comparison found{percentiles(own), percentiles(echo)};
    results[command.label] = found;
    state.counters["p50_us"] = found.command.p50;
    state.counters["p99_us"] = found.command.p99;
    state.counters["echo_p50_us"] = found.echo.p50;
    state.counters["echo_p99_us"] = found.echo.p99;
    state.counters["p50_ratio"] = found.command.p50 / found.echo.p50;
    state.counters["p99_ratio"] = found.command.p99 / found.echo.p99;
}
BENCHMARK_CAPTURE(RoundTrip, SMCStatus, kSmcStatus)
    ->UseManualTime()
    ->Iterations(kRoundTrips)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RoundTrip, ChargingStatus, kChargingStatus)
    ->UseManualTime()
    ->Iterations(kRoundTrips)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RoundTrip, OpenSMCRoot, kOpenSmc)
    ->UseManualTime()
    ->Iterations(kRoundTrips)
    ->Unit(benchmark::kMicrosecond);

// One OpenSMC and one echo round trip from `client`; false when an answer did not come.
bool timedPair(bench::BusClient& client, double pair[2]) {
    double start = bench::monotonicSeconds();
    if (!client.ask(names::kOpenSMC, names::kOpenSMCAnswer, kAnswerTimeoutSeconds)) return false;
    pair[0] = bench::monotonicSeconds() - start;
    start = bench::monotonicSeconds();
    if (!client.ask(kEchoCommand, kEchoAnswer, kAnswerTimeoutSeconds)) return false;
    pair[1] = bench::monotonicSeconds() - start;
    return true;
}

// The child's life as the console user: `count` pairs written to `fd`, over one connection or
// over a fresh one each time. Its exit status says whether all answers came.
int consoleUserRoundTrips(int fd, int count, bool oneConnection) {
    if (setgroups(0, nullptr) != 0 || setgid(kConsoleUser) != 0 || setuid(kConsoleUser) != 0) {
        return 1;
    }
    auto shared = std::make_unique<bench::BusClient>();
    double pair[2];
    if (!shared->connected() || !timedPair(*shared, pair)) return 2;  // the first decision
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<bench::BusClient> fresh;
        if (!oneConnection) fresh = std::make_unique<bench::BusClient>();
        bench::BusClient& client = oneConnection ? *shared : *fresh;
        if (!client.connected() || !timedPair(client, pair)) return 2;
        if (::write(fd, pair, sizeof pair) != static_cast<ssize_t>(sizeof pair)) return 3;
    }
    return 0;
}

// Forks the console user's client and collects its pairs; the error text, if any.
std::string collectConsoleUserPairs(int count, bool oneConnection, std::vector<double>& own,
                                    std::vector<double>& echo) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return "no pipe";
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        readEnd.reset();
        _exit(consoleUserRoundTrips(writeEnd.get(), count, oneConnection));
    }
    writeEnd.reset();
    double pair[2];
    while (pid > 0 && read(readEnd.get(), pair, sizeof pair) == static_cast<ssize_t>(sizeof pair)) {
        own.push_back(pair[0]);
        echo.push_back(pair[1]);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return "cannot run the console user's client";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || own.size() != std::size_t(count)) {
        return "the console user's commands were not all answered (status " +
               std::to_string(status) + ")";
    }
    return {};
}

void ConsoleUserRoundTrip(benchmark::State& state, bool oneConnection) {
    const int count = oneConnection ? kRoundTrips : kFreshSenderRoundTrips;
    for (auto _ : state) {
        std::vector<double> own;
        std::vector<double> echo;
        if (auto error = collectConsoleUserPairs(count, oneConnection, own, echo); !error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
        double total = 0;
        for (double seconds : own) total += seconds;
        state.SetIterationTime(total);
        const Comparison found{percentiles(own), percentiles(echo)};
        results[oneConnection ? "OpenSMC uid1000" : "OpenSMC uid1000*"] = found;
        state.counters["p50_us"] = found.command.p50;
        state.counters["p99_us"] = found.command.p99;
        state.counters["echo_p50_us"] = found.echo.p50;
    }
}
BENCHMARK_CAPTURE(ConsoleUserRoundTrip, ReusedDecision, true)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ConsoleUserRoundTrip, FreshDecision, false)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The main app is running and has opened the SMC, so the status query really reads its keys.
std::string prepare(bench::BusClient& client) {
    if (auto error = bench::openAsMainApp(client); !error.empty()) return error;
    if (auto error = bench::openBusFolder(); !error.empty()) return error;
    for (int i = 0; i < kWarmUpRoundTrips; ++i) {
        if (!client.ask(names::kSMCStatus, names::kSMCStatusAnswer) ||
            !client.ask(names::kQueryChargingStatus, names::kChargingStatusAnswer) ||
            !client.ask(kEchoCommand, kEchoAnswer)) {
            return "no answer while warming up";
        }
    }
    return {};
}

void printSummary() {
    std::printf("\nRound trip, command posted -> answer received (%d each, echo interleaved):\n",
                kRoundTrips);
    std::printf("(* a fresh connection per command, so a fresh decision each time)\n");
    std::printf("%-16s %9s %9s %9s %9s %9s %9s\n", "command", "p50 us", "p99 us", "echo p50",
                "echo p99", "p50 x", "p99 x");
    for (const auto& [name, found] : results) {
        std::printf("%-16s %9.1f %9.1f %9.1f %9.1f %9.2f %9.2f\n", name.c_str(), found.command.p50,
                    found.command.p99, found.echo.p50, found.echo.p99,
                    found.command.p50 / found.echo.p50, found.command.p99 / found.echo.p99);
    }
    const auto smcStatus = results.find(kSmcStatus.label);
    if (smcStatus == results.end()) return;
    const double ratio = smcStatus->second.command.p50 / smcStatus->second.echo.p50;
    std::printf("Target: SMC-status p50 within %.1fx of the echo: %s (%.2fx)\n",
                kSmcStatusTargetRatio, ratio <= kSmcStatusTargetRatio ? "met" : "NOT met", ratio);
}

}  // namespace

int main(int argc, char** argv) {
    auto started = bench::startFromArguments(argc, argv);
    if (!started) return 1;
    rig = started.get();
    const EchoResponder echo;
    return bench::runBenchmarks(
        *rig, echo.ready() ? prepare(rig->client()) : "the echo responder did not start",
        printSummary);
}
