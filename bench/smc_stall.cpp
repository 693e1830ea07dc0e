// What a stalled SMC costs the helper's loop. The SMC emulator is stopped (SIGSTOP), so every
// exchange with it runs into the helper's deadline (1 s); a stranger (uid 65534) then asks the
// charging-status query from 20 connections, once each every 0.2 s, for 20 s, and root turns
// charging off once. Meanwhile root times the SMC-status command (no SMC access) every 50 ms:
// its slowest round trip is the longest the loop was held. Target: at most one deadline (plus
// the bus's own round trip). Afterwards the emulator runs again and root's "charge off" must
// have reached it through the retry.

#include <algorithm>
#include <cstdio>
#include <vector>

#include "BusRig.h"
#include "platform/DBusNames.h"
#include "platform/MachError.h"
#include "platform/linux/EmulatorSmcService.h"
#include "smc/SMC.h"

using namespace ampwarden;

namespace {

constexpr uid_t kStranger = 65534;
constexpr int kConnections = 20;
constexpr double kStallSeconds = 20;
constexpr double kDeadlineSeconds = 1;

bench::Rig* rig = nullptr;

class Quiet : public Diagnostics {
  public:
    void systemLog(const std::string&) override {}
    void standardOutput(const std::string&) override {}
};

// Asks the emulator itself, not the helper.
bool chargingInhibited() {
    Quiet log;
    EmulatorSmcService service(getenv("LUMORA_SMC_EMULATOR"));
    SMC smc(service, log);
    if (smc.open() != kKernSuccess) return false;
    const auto value = smc.readByteValue("CH0B");
    smc.close();
    return value == 2;
}

struct Result {
    double slowest = 0;
    int unanswered = 0;
    int probes = 0;
    bool chargeOffLanded = false;
};
Result result;

void StalledSmc(benchmark::State& state) {
    for (auto _ : state) {
        bench::BusClient& root = rig->client();
        const pid_t emulator = rig->emulatorPid();
        int stop[2];
        if (emulator <= 0 || pipe2(stop, O_CLOEXEC) != 0 || kill(emulator, SIGSTOP) != 0) {
            state.SkipWithError("cannot stop the emulator");
            return;
        }
        const pid_t stranger = bench::forkChild([&] {
            close(stop[1]);
            bench::postFromConnections(stop[0], kStranger, kConnections, 1,
                                       names::kQueryChargingStatus);
        });
        close(stop[0]);
        const double end = bench::monotonicSeconds() + kStallSeconds;
        bool chargeOffSent = false;
        while (bench::monotonicSeconds() < end) {
            if (!chargeOffSent && bench::monotonicSeconds() > end - kStallSeconds / 2) {
                root.post(names::kSetDisableCharging);
                chargeOffSent = true;
            }
            const double start = bench::monotonicSeconds();
            ++result.probes;
            if (!root.ask(names::kSMCStatus, names::kSMCStatusAnswer, 30)) ++result.unanswered;
            result.slowest = std::max(result.slowest, bench::monotonicSeconds() - start);
            bench::sleepSeconds(0.05);
        }
        close(stop[1]);
        waitpid(stranger, nullptr, 0);
        kill(emulator, SIGCONT);
        // The retry comes every 5 s; the stall the guard remembers ends within 10 s.
        bench::sleepSeconds(12);
        result.chargeOffLanded = chargingInhibited();
        state.SetIterationTime(kStallSeconds);
    }
}
BENCHMARK(StalledSmc)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void printSummary() {
    std::printf("\nSMC stopped for %.0f s, %d stranger connections asking the charging status\n",
                kStallSeconds, kConnections);
    std::printf("SMC-status probes: %d, unanswered within 30 s: %d, slowest %.3f s\n",
                result.probes, result.unanswered, result.slowest);
    std::printf("Root's charge off reached the SMC once it answered again: %s\n",
                result.chargeOffLanded ? "yes" : "no");
    const bool met = result.unanswered == 0 && result.slowest <= kDeadlineSeconds + 0.2 &&
                     result.chargeOffLanded;
    std::printf("Target: the loop held at most one deadline (%.0f s): %s\n", kDeadlineSeconds,
                met ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    return bench::runAsMainAppAmongUsers(argc, argv, rig, printSummary);
}
