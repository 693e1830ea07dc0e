#include "ampwardenctl/StatusReport.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "ampwardenctl/AnswerFormat.h"
#include "ampwardenctl/BatteryApp.h"
#include "ampwardenctl/PowerMonitor.h"
#include "channel/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

const char* const kQuestions[][2] = {
    {names::kQueryDaemonLoadStatus, names::kDaemonLoadStatusAnswer},
    {names::kSMCStatus, names::kSMCStatusAnswer},
    {names::kQueryChargingStatus, names::kChargingStatusAnswer},
};

std::optional<std::string> valueText(const StatusReport::Facts& facts, const char* answer,
                                     const char* key) {
    auto found = facts.answers.find(answer);
    if (found == facts.answers.end()) return std::nullopt;
    for (const auto& [name, value] : found->second.values) {
        if (name != key) continue;
        if (auto* text = std::get_if<std::string>(&value.value)) return *text;
        if (auto* number = std::get_if<std::int64_t>(&value.value)) return std::to_string(*number);
    }
    return std::nullopt;
}

std::string yesNo(const std::optional<std::string>& value, const char* yes, const char* no) {
    if (!value) return "unknown";
    return *value == "1" ? yes : no;
}

std::string appValue(const StatusReport::Facts& facts, const char* key) {
    auto found = facts.app.find(key);
    return found == facts.app.end() ? "" : found->second;
}

std::string jsonOrNull(const std::optional<std::string>& value) {
    return value ? jsonString(*value) : "null";
}

// The helper's numbers travel as numbers; none is null.
std::string jsonNumberOrNull(const std::optional<std::string>& value) {
    return value ? *value : "null";
}

// "78 %" as 78, anything else (unknown) as null.
std::string jsonLevel(const std::string& text) {
    return !text.empty() && text[0] >= '0' && text[0] <= '9' ? text.substr(0, text.find(' '))
                                                             : "null";
}

std::string jsonMains(const std::string& text) {
    if (text == "on mains") return "true";
    return text == "on battery" ? "false" : "null";
}

}  // namespace

bool StatusReport::gather(ClientBus& bus, double timeoutSeconds, Facts& facts, std::string& error) {
    bool subscribed = bus.subscribe(
        [&](const Answer& answer) {
            for (const auto& question : kQuestions) {
                if (answer.name == question[1]) facts.answers[answer.name] = answer;
            }
            if (facts.answers.size() == std::size(kQuestions)) bus.stop();
        },
        error);
    if (!subscribed) return false;
    facts.backend = BackendPreview::forThisMachine();
    // Before the loop runs: the bus closes when it ends.
    facts.app = readAppState(BatteryApp::stateFilePath());
    if (facts.app.empty()) {
        PowerMonitor power(bus.bus(), bus.event());
        std::string ignored;
        power.start(nullptr, ignored);
        facts.batteryLevel =
            power.last().level ? std::to_string(*power.last().level) + " %" : "unknown";
        facts.mains = power.last().mains ? (*power.last().mains ? "on mains" : "on battery")
                                         : "mains unknown";
        facts.batterySource = power.source();
    } else {
        facts.batteryLevel = appValue(facts, "level");
        facts.mains = appValue(facts, "mains");
        facts.batterySource = appValue(facts, "source");
    }
    for (const auto& question : kQuestions) {
        if (!bus.postCommand(question[0], error)) return false;
    }
    RunResult result = bus.run(timeoutSeconds);
    if (result == RunResult::Disconnected || result == RunResult::Failed) {
        error = "lost the bus connection while asking the helper";
        return false;
    }
    return true;
}

std::map<std::string, std::string> StatusReport::readAppState(const std::string& path) {
    std::map<std::string, std::string> values;
    if (path.empty()) return values;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    // A file left by an app that was killed says nothing about now.
    long pid = std::atol(values["pid"].c_str());
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) values.clear();
    return values;
}

std::string StatusReport::formatText(const Facts& facts) {
    using namespace names;
    bool helperAnswered = facts.answers.count(kDaemonLoadStatusAnswer) != 0;
    std::string helper = "not answering (not running? 'systemctl status lumora.Ampwarden')";
    if (helperAnswered) {
        helper = "running";
        if (auto version = valueText(facts, kDaemonLoadStatusAnswer, kVersionKey)) {
            helper += ", version " + *version;
            if (auto build = valueText(facts, kDaemonLoadStatusAnswer, kBuildVersionKey)) {
                helper += " (" + *build + ")";
            }
        }
        if (valueText(facts, kDaemonLoadStatusAnswer, kStatusKey) != "1") helper += ", not as root";
    }
    std::string text = "helper:    " + helper + "\n";
    text += "SMC:       " +
            yesNo(valueText(facts, kSMCStatusAnswer, kSmcStatusKey), "open", "not open") + "\n";
    text += "backend:   " + BackendPreview::text(facts.backend) + "\n";
    text +=
        "charging:  " +
        yesNo(valueText(facts, kChargingStatusAnswer, kChargingStatusKey), "allowed", "stopped") +
        "; forced discharge: " +
        yesNo(valueText(facts, kChargingStatusAnswer, kDischargingStatusKey), "on", "off") + "\n";
    text += "battery:   " + facts.batteryLevel + ", " + facts.mains +
            (facts.batterySource.empty() ? "" : " (from " + facts.batterySource + ")") + "\n";
    if (facts.app.empty()) {
        text +=
            "app:       not running ('systemctl --user start lumora.Battery' or "
            "'ampwardenctl app')\n";
    } else {
        text += "app:       running (pid " + appValue(facts, "pid") + "), " +
                appValue(facts, "settings") + "\n";
        text += "holding:   " + appValue(facts, "holding") + " (" + appValue(facts, "why") + ")\n";
    }
    return text;
}

std::string StatusReport::formatJson(const Facts& facts) {
    using namespace names;
    auto field = [](const char* key, const std::string& json) {
        return jsonString(key) + ":" + json;
    };
    std::string helper =
        "{" + field("running", facts.answers.count(kDaemonLoadStatusAnswer) ? "true" : "false") +
        "," + field("version", jsonOrNull(valueText(facts, kDaemonLoadStatusAnswer, kVersionKey))) +
        "," +
        field("smcStatus", jsonNumberOrNull(valueText(facts, kSMCStatusAnswer, kSmcStatusKey))) +
        "," +
        field("chargingStatus",
              jsonNumberOrNull(valueText(facts, kChargingStatusAnswer, kChargingStatusKey))) +
        "," +
        field("dischargingStatus",
              jsonNumberOrNull(valueText(facts, kChargingStatusAnswer, kDischargingStatusKey))) +
        "}";
    std::string battery = "{" + field("level", jsonLevel(facts.batteryLevel)) + "," +
                          field("mains", jsonMains(facts.mains)) + "," +
                          field("source", jsonString(facts.batterySource)) + "}";
    std::string app = "{" + field("running", facts.app.empty() ? "false" : "true");
    for (const char* key : {"pid", "settings", "holding", "why"}) {
        if (!facts.app.empty()) app += "," + field(key, jsonString(appValue(facts, key)));
    }
    app += "}";
    return "{" + field("helper", helper) + "," +
           field("backend", BackendPreview::json(facts.backend)) + "," + field("battery", battery) +
           "," + field("app", app) + "}\n";
}

}  // namespace ampwarden::ctl
