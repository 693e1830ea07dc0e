#include "ampwardenctl/StatusReport.h"

#include "ampwardenctl/AnswerFormat.h"
#include "ampwardenctl/HelperDiagnosis.h"
#include "ampwardenctl/PowerMonitor.h"
#include "protocol/NotificationNames.h"

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

std::string jsonOrNull(const std::optional<std::string>& value) {
    return value ? jsonString(*value) : "null";
}

// The helper's numbers travel as numbers; none is null.
std::string jsonNumberOrNull(const std::optional<std::string>& value) {
    return value ? *value : "null";
}

std::string jsonLevel(const std::optional<int>& level) {
    return level ? std::to_string(*level) : "null";
}

std::string jsonMains(const std::optional<bool>& mains) {
    return mains ? (*mains ? "true" : "false") : "null";
}

std::optional<std::int64_t> keyValue(const BackendPreview::Preview& backend, const char* key) {
    for (const auto& [name, value] : backend.keys) {
        if (name == key) return value;
    }
    return std::nullopt;
}

// What the battery says, then why as far as it is known: the keys, else what the app holds.
std::string chargingText(const StatusReport::Facts& facts) {
    const std::string& state = facts.battery.state;
    std::string text = state.empty() ? "unknown" : state;
    if (!facts.batterySource.empty() && !state.empty()) text += " (" + facts.batterySource + ")";
    const BackendPreview::Preview& keys = facts.backend;
    if (keys.keysRead) {
        const bool inhibited = keyValue(keys, "CH0B") == 2 || keyValue(keys, "CH0C") == 2;
        if (inhibited) return text + "; stopped by the helper (CH0B/CH0C 2)";
        if (keyValue(keys, "CH0I") == 1) return text + "; forced to discharge (CH0I 1)";
        if (auto limit = keyValue(keys, "BCLM"); limit && *limit < 100)
            return text + "; the charge limit, " + std::to_string(*limit) + " %, is in force";
        return text + "; no charge key holds it back";
    }
    if (facts.app) text += "; the app holds " + facts.app->holding;
    return text;
}

std::string limitText(const StatusReport::Facts& facts) {
    if (auto limit = keyValue(facts.backend, "BCLM")) {
        return *limit >= 100 ? "none (BCLM 100)"
                             : std::to_string(*limit) + " % (BCLM " + std::to_string(*limit) + ")";
    }
    if (facts.backend.keysRead) return "none on this machine (no BCLM)";
    const bool appLimits = facts.app && facts.app->settings.find("limit on") != std::string::npos;
    return std::string(appLimits ? "80 % if the app's limit is in force" : "unknown") +
           " (the keys are read as root: sudo ampwardenctl status)";
}

std::string keysText(const BackendPreview::Preview& backend) {
    std::string text;
    for (const auto& [key, value] : backend.keys) {
        text += (text.empty() ? "" : ", ") + key + " " + std::to_string(value);
    }
    return (text.empty() ? "no charge key" : text) + " (read from the " + backend.picks +
           " backend)";
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
    facts.app = AppStateFile::find("/run/user");
    if (facts.app) {
        facts.battery = facts.app->battery;
        facts.batterySource = facts.app->source;
    } else {
        const char* source = "";
        facts.battery = PowerMonitor::readOnce(bus.bus(), source);
        facts.batterySource = source;
    }
    for (const auto& question : kQuestions) {
        if (!bus.postCommand(question[0], error)) return false;
    }
    RunResult result = bus.run(timeoutSeconds);
    if (result == RunResult::Disconnected || result == RunResult::Failed) {
        error = "lost the bus connection while asking the helper";
        return false;
    }
    if (!facts.answers.count(names::kDaemonLoadStatusAnswer))
        facts.silence = HelperDiagnosis::gather();
    return true;
}

std::string StatusReport::formatText(const Facts& facts) {
    using namespace names;
    bool helperAnswered = facts.answers.count(kDaemonLoadStatusAnswer) != 0;
    std::string helper = "not answering: " + HelperDiagnosis::explain(facts.silence, false, true);
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
    text += "charging:  " + chargingText(facts) + "; forced discharge: " +
            yesNo(valueText(facts, kChargingStatusAnswer, kDischargingStatusKey), "on", "off") +
            "\n";
    text += "limit:     " + limitText(facts) + "\n";
    if (facts.backend.keysRead) text += "keys:      " + keysText(facts.backend) + "\n";
    text += "battery:   " + levelText(facts.battery) + ", " + mainsText(facts.battery) +
            (facts.batterySource.empty() ? "" : " (from " + facts.batterySource + ")") + "\n";
    if (!facts.app) {
        text +=
            "app:       not running ('systemctl --user start lumora.Battery' or "
            "'ampwardenctl app')\n";
    } else {
        text += "app:       running (pid " + std::to_string(facts.app->pid) + "), " +
                facts.app->settings + "\n";
        text += "holding:   " + facts.app->holding + " (" + facts.app->why + ")\n";
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
    std::string battery =
        "{" + field("level", jsonLevel(facts.battery.level)) + "," +
        field("mains", jsonMains(facts.battery.mains)) + "," +
        field("source", jsonString(facts.batterySource)) + "," +
        field("state",
              facts.battery.state.empty() ? std::string("null") : jsonString(facts.battery.state)) +
        "}";
    // The keys as read from here (root only); null when they were not.
    std::string keys = facts.backend.keysRead ? "{" : "null";
    for (const auto& [key, value] : facts.backend.keys) {
        keys += (keys.size() > 1 ? "," : "") + field(key.c_str(), std::to_string(value));
    }
    if (facts.backend.keysRead) keys += "}";
    std::string app = "{" + field("running", facts.app ? "true" : "false");
    if (facts.app) {
        app += "," + field("pid", jsonString(std::to_string(facts.app->pid))) + "," +
               field("settings", jsonString(facts.app->settings)) + "," +
               field("holding", jsonString(facts.app->holding)) + "," +
               field("why", jsonString(facts.app->why));
    }
    app += "}";
    return "{" + field("helper", helper) + "," +
           field("backend", BackendPreview::json(facts.backend)) + "," + field("battery", battery) +
           "," + field("keys", keys) + "," + field("app", app) + "}\n";
}

}  // namespace ampwarden::ctl
