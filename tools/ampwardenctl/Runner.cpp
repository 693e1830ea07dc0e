#include "ampwardenctl/Runner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ampwardenctl/AnswerFormat.h"
#include "ampwardenctl/AnswerWaiter.h"
#include "ampwardenctl/AppStateFile.h"
#include "ampwardenctl/BatteryApp.h"
#include "ampwardenctl/CommandTable.h"
#include "ampwardenctl/ConsoleLog.h"
#include "ampwardenctl/DesktopNotifier.h"
#include "ampwardenctl/HelperDiagnosis.h"
#include "ampwardenctl/PowerMonitor.h"
#include "ampwardenctl/SessionInterface.h"
#include "ampwardenctl/StatusReport.h"
#include "platform/linux/LogindLoginManager.h"
#include "platform/linux/SdEventRunLoop.h"
#include "platform/linux/SdPointers.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

// The helper asks the bus who sent a command that needs authorisation, and refuses one whose
// sender has already left. A command that brings no answer therefore stays connected a moment
// before it goes.
constexpr double kUnansweredLingerSeconds = 1.0;

int complain(const std::string& problem) {
    std::fprintf(stderr, "ampwardenctl: %s\n", problem.c_str());
    return kExitFailed;
}

// Line-buffered on purpose: a reader (a test, a pipe) sees each answer as it comes.
void printAnswer(const Answer& answer, bool json) {
    std::string text = json ? formatJson(answer) + "\n" : formatText(answer);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string seconds(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g s", value);
    return buffer;
}

int reportMissing(RunResult result, const AnswerWaiter& waiter, const Invocation& invocation,
                  double timeout) {
    std::string awaited = waiter.awaited();
    switch (result) {
        case RunResult::TimedOut: {
            std::string hint =
                HelperDiagnosis::explain(HelperDiagnosis::gather(),
                                         needsAuthorisation(invocation.command), ::geteuid() == 0);
            if (invocation.command == names::kSetEnableDischarging) {
                hint =
                    "the helper answers nothing while the machine is going to sleep or "
                    "asleep; otherwise " +
                    hint;
            }
            return complain("no " + awaited + " within " + seconds(timeout) + " after posting \"" +
                            invocation.command + "\" (" + hint + ")");
        }
        case RunResult::Interrupted:
            return complain("interrupted while waiting for " + awaited);
        case RunResult::Disconnected:
            return complain("lost the bus connection while waiting for " + awaited);
        default:
            return complain("the event loop failed while waiting for " + awaited);
    }
}

int runExchange(ClientBus& bus, const Invocation& invocation) {
    AnswerWaiter waiter(invocation.answers);
    std::string error;
    std::string failure;  // the first thing an answer says did not happen
    // Subscribe first: a quick helper may answer before this process reads its own post.
    bool subscribed = waiter.done() || bus.subscribe(
                                           [&](const Answer& answer) {
                                               if (!waiter.offer(answer.name)) return;
                                               printAnswer(answer, invocation.json);
                                               if (failure.empty()) failure = answerFailure(answer);
                                               if (waiter.done()) bus.stop();
                                           },
                                           error);
    if (!subscribed || !bus.postCommand(invocation.command, error)) return complain(error);
    double timeout = invocation.timeoutSeconds.value_or(kDefaultTimeoutSeconds);
    if (waiter.done()) {
        if (!bus.flush(error)) return complain(error);
        if (needsAuthorisation(invocation.command)) {
            if (bus.run(std::min(timeout, kUnansweredLingerSeconds)) == RunResult::Disconnected) {
                return complain("lost the bus connection");
            }
        }
        return kExitOk;
    }
    RunResult result = bus.run(timeout);
    // The uninstall is carried out whatever its close could write: said, not failed.
    if (!failure.empty() && invocation.command == names::kUninstallHelper && waiter.done()) {
        std::fprintf(stderr, "ampwardenctl: uninstalled, but %s\n", failure.c_str());
        return kExitOk;
    }
    if (!failure.empty()) return complain(failure);
    if (waiter.done()) return kExitOk;
    return reportMissing(result, waiter, invocation, timeout);
}

// watch and app end well on a signal or when their time is up; only losing the bus is a fault.
int runUntilInterrupted(ClientBus& bus, const Invocation& invocation) {
    RunResult result = bus.run(invocation.timeoutSeconds);
    if (result == RunResult::Disconnected) return complain("lost the bus connection");
    if (result == RunResult::Failed) return complain("the event loop failed");
    return kExitOk;
}

int runWatch(ClientBus& bus, const Invocation& invocation) {
    std::string error;
    bool json = invocation.json;
    if (!bus.subscribe([json](const Answer& answer) { printAnswer(answer, json); }, error)) {
        return complain(error);
    }
    std::fprintf(stderr, "ampwardenctl: watching the answers; Ctrl-C ends\n");
    return runUntilInterrupted(bus, invocation);
}

int runStatus(ClientBus& bus, const Invocation& invocation) {
    StatusReport::Facts facts;
    std::string error;
    // Three read-only questions; a running helper answers them in milliseconds.
    if (!StatusReport::gather(bus, invocation.timeoutSeconds.value_or(2.0), facts, error)) {
        return complain(error);
    }
    std::string text =
        invocation.json ? StatusReport::formatJson(facts) : StatusReport::formatText(facts);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return facts.answers.empty() ? kExitFailed : kExitOk;
}

}  // namespace

std::optional<SettingsProblem> resolveAppSettings(const Invocation& invocation,
                                                  BatterySettings& settings) {
    std::string path = settingsFilePath();
    auto loaded = path.empty() ? BatterySettings{} : loadSettingsFile(path);
    if (auto* problem = std::get_if<std::string>(&loaded)) {
        return SettingsProblem{kExitBadSettings, *problem};
    }
    settings = std::get<BatterySettings>(loaded);
    for (const auto& setting : invocation.settings) {
        std::string problem = applySetting(settings, setting);
        if (!problem.empty()) return SettingsProblem{kExitUsage, "--" + problem};
    }
    return std::nullopt;
}

int runInvocation(ClientBus& bus, const Invocation& invocation) {
    switch (invocation.mode) {
        case Mode::Watch:
            return runWatch(bus, invocation);
        case Mode::Status:
            return runStatus(bus, invocation);
        case Mode::App:
        case Mode::FullCharge:
        case Mode::AppChange:
        case Mode::Exchange:
            break;
    }
    return runExchange(bus, invocation);
}

std::optional<int> askApp(const Invocation& invocation) {
    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    sd::BusPtr bus(raw);
    if (r < 0) return std::nullopt;
    sd_bus_set_method_call_timeout(bus.get(), 5'000'000);
    sd::BusError error;
    sd_bus_message* reply = nullptr;
    auto call = [&](const char* method, const char* types, auto... values) {
        return sd_bus_call_method(bus.get(), SessionInterface::kBusName,
                                  SessionInterface::kObjectPath, SessionInterface::kInterface,
                                  method, error.get(), &reply, types, values...);
    };
    BatterySettings wanted;
    if (invocation.appChange) applyChange(wanted, *invocation.appChange);
    const std::string setting = invocation.appChange ? invocation.appChange->first : "";
    if (invocation.mode == Mode::FullCharge) {
        r = call("ChargeToFullOnce", "");
    } else if (setting == "keep") {
        r = call("SetKeep", "uu", std::uint32_t(wanted.keepLow.value_or(0)),
                 std::uint32_t(wanted.keepHigh.value_or(0)));
    } else if (setting == "discharge-to") {
        r = call("SetDischargeTo", "u", std::uint32_t(wanted.dischargeTo.value_or(0)));
    } else {
        r = call("SetLimit", "b", int(wanted.limit.value_or(false)));
    }
    sd::MessagePtr answer(reply);
    if (r < 0 && (sd_bus_error_has_name(error.get(), SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                  sd_bus_error_has_name(error.get(), SD_BUS_ERROR_NAME_HAS_NO_OWNER))) {
        return std::nullopt;
    }
    if (r < 0) return complain(std::string("the battery app did not take it: ") + error.message());
    if (invocation.mode == Mode::FullCharge) {
        const char* outcome = "";
        sd_bus_message_read(answer.get(), "s", &outcome);
        const std::string said = outcome;
        std::printf("%s\n", said == "started"
                                ? "the battery app charges to full once, then holds its settings "
                                  "again; 'ampwardenctl status' shows it"
                            : said == "already-full"
                                ? "the battery is full already"
                                : "nothing the battery app holds keeps the charge back");
        return kExitOk;
    }
    char* settings = nullptr;
    sd_bus_get_property_string(bus.get(), SessionInterface::kBusName, SessionInterface::kObjectPath,
                               SessionInterface::kInterface, "Settings", error.get(), &settings);
    std::printf("the battery app holds: %s (kept in its settings file)\n",
                settings ? settings : "?");
    std::free(settings);
    return kExitOk;
}

int runAppRequest(const Invocation& invocation) {
    if (auto status = askApp(invocation)) return *status;
    return complain(
        "no battery app runs on this user's session bus (systemctl --user start "
        "lumora.Battery.service); as root, run this as the user whose app it is");
}

namespace {

// Said once: the app works from the queue just the same, and the helper's watchdog counts it.
void tellQueued(Diagnostics& log, const NameStanding& standing, const std::string& name) {
    std::string owner = standing.ownerSender.empty() ? "another connection" : standing.ownerSender;
    if (standing.ownerUid) owner += " (uid " + std::to_string(*standing.ownerUid) + ")";
    log.systemLog("waiting in the queue for " + name + ", which " + owner +
                  " owns; keeping the battery meanwhile");
}

}  // namespace

int runBatteryApp(const Invocation& invocation, const BatterySettings& settings) {
    ConsoleLog log;
    SdEventRunLoop loop;
    std::string error;
    auto bus = ClientBus::join(loop.event(), error);
    if (!bus) return complain(error);
    const auto standing = bus->queueForName(names::kMainAppId, error);
    if (!standing) return complain(error);
    const std::string name = std::string("\"") + names::kMainAppId + "\"";
    if (!standing->owner) tellQueued(log, *standing, name);
    // The app follows sleep and wake; delaying sleep is the helper's part.
    LogindLoginManager login(bus->bus(), log, false);
    PowerMonitor power(bus->bus(), loop);
    auto explain = [](bool needsAuthorisation) {
        return HelperDiagnosis::explain(HelperDiagnosis::gather(), needsAuthorisation,
                                        ::geteuid() == 0);
    };
    // The desktop's part is a bonus: without a session bus the app holds the battery alike.
    std::string sessionError;
    auto session = SessionInterface::connect(loop.event(), sessionError);
    DesktopNotifier notifier(session ? session->bus() : nullptr, log);
    BatteryApp app({loop, login, power, *bus, log, notifier, explain}, settings,
                   {settingsFilePath(), AppStateFile::defaultPath(), fullOnceFilePath()});
    if (session && session->serve(app, sessionError)) {
        app.onChange([&session] { session->publish(); });
    } else {
        log.systemLog(sessionError + "; the settings can be changed in the settings file only");
    }
    int status = kExitOk;
    bool lost = false;
    auto finish = [&] {
        lost = !bus->connected();
        status = app.finish();
    };
    if (!bus->atExit(finish, error) ||
        !app.start((standing->owner ? "owning " : "queued for ") + name, error)) {
        return complain(error);
    }
    if (invocation.timeoutSeconds) loop.after(*invocation.timeoutSeconds, [&] { loop.quit(0); });
    const int code = loop.run();
    if (lost) return complain("lost the bus connection");
    if (code != 0) return complain("the event loop failed");
    return status;
}

}  // namespace ampwarden::ctl
