#include "ampwardenctl/CommandTable.h"

#include <map>

#include "protocol/CommandProtocol.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

const AnswerValue* valueOf(const Answer& answer, const std::string& key) {
    for (const auto& [name, value] : answer.values) {
        if (name == key) return &value;
    }
    return nullptr;
}

// What each answer would have claimed, said as what did not happen.
std::string notDone(const std::string& answer) {
    using namespace names;
    static const std::map<std::string, std::string> table = {
        {kCloseSMCAnswer, "charging was not fully given back"},
        {kSetEnableChargingAnswer, "charging may still be stopped or limited"},
        {kSetDisableChargingAnswer, "charging was not stopped"},
        {kSetEnableDischargingAnswer, "the forced discharge did not start"},
        {kSetEnableChargingLimitMaxAnswer, "the charge limit was not set"},
        {kSetDisableChargingLimitMaxAnswer, "the charge limit was not lifted"},
    };
    auto found = table.find(answer);
    return found == table.end() ? "the command was not carried out" : found->second;
}

}  // namespace

std::string answerFailure(const Answer& answer) {
    const AnswerValue* openClose = valueOf(answer, names::kSmcOpenCloseKey);
    if (answer.name == names::kOpenSMCAnswer && openClose &&
        openClose->value == AnswerValue::Value(std::string(names::kClose))) {
        return "the helper could not open the SMC (no usable SMC backend: ampwarden-smc probe "
               "tells why; journalctl -u lumora.Ampwarden.service has the helper's reason)";
    }
    const AnswerValue* written = valueOf(answer, names::kSmcWrittenKey);
    if (!written || written->value != AnswerValue::Value(std::int64_t{0})) return "";
    const AnswerValue* keys = valueOf(answer, names::kSmcNotWrittenKey);
    const std::string* list = keys ? std::get_if<std::string>(&keys->value) : nullptr;
    return notDone(answer.name) + ": the helper could not write " +
           (list ? *list : std::string("the charge keys")) +
           " (see journalctl -u lumora.Ampwarden.service and ampwarden-smc probe)";
}

AnswerSteps expectedAnswers(const std::string& name) {
    const protocol::CommandEntry* command = protocol::findCommand(name);
    if (!command) return {};
    AnswerSteps steps;
    for (const protocol::AnswerStep& step : command->answers) {
        if (!step.name) break;
        steps.push_back({step.name});
        if (step.otherwise) steps.back().push_back(step.otherwise);
    }
    return steps;
}

bool needsAuthorisation(const std::string& name) {
    const protocol::CommandEntry* command = protocol::findCommand(name);
    return command && command->access != protocol::Access::ReadOnly;
}

std::string describeStep(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += (text.empty() ? "\"" : " or \"") + name + "\"";
    return text;
}

std::string silenceHint(const std::string& name) {
    std::string hint;
    if (name == names::kSetEnableDischarging) {
        hint = "the helper answers nothing while the machine is going to sleep or asleep; ";
    }
    if (needsAuthorisation(name)) {
        hint +=
            "the helper answers nothing to callers it does not authorise: see "
            "journalctl -u lumora.Ampwarden.service";
    } else if (!hint.empty()) {
        hint.resize(hint.size() - 2);
    }
    return hint;
}

}  // namespace ampwarden::ctl
