#include "ampwardenctl/CommandTable.h"

#include <map>

#include "channel/ZTBatteryNewModule.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

const std::map<std::string, AnswerSteps>& answerTable() {
    using namespace names;
    static const std::map<std::string, AnswerSteps> table = {
        {kQueryChargingStatus, {{kChargingStatusAnswer}}},
        {kOpenSMC, {{kOpenSMCAnswer}}},
        {kCloseSMC, {{kCloseSMCAnswer}}},
        {kSMCStatus, {{kSMCStatusAnswer}}},
        {kSetEnableCharging, {{kSetEnableChargingAnswer}}},
        {kSetDisableCharging, {{kSetDisableChargingAnswer}}},
        // With the lid closed the helper stops charging instead and says so.
        {kSetEnableDischarging, {{kSetEnableDischargingAnswer, kSetDisableChargingAnswer}}},
        {kSetDisableDischarging, {}},
        {kSetEnableChargingLimitMax, {{kSetEnableChargingLimitMaxAnswer}}},
        {kSetDisableChargingLimitMax, {{kSetDisableChargingLimitMaxAnswer}}},
        // The connection is closed at once; the installation is removed 2.5 s later.
        {kUninstallHelper, {{kCloseSMCAnswer}, {kUninstallHelperAnswer}}},
        {kQueryDaemonLoadStatus, {{kDaemonLoadStatusAnswer}}},
        {kGlobalQueryDaemonLoadStatus, {{kGlobalDaemonLoadStatusAnswer}}},
    };
    return table;
}

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
    auto found = answerTable().find(name);
    return found == answerTable().end() ? AnswerSteps{} : found->second;
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
    const auto access = commandAccess(name);
    if (access && *access != CommandAccess::ReadOnly) {
        hint +=
            "the helper answers nothing to callers it does not authorise: see "
            "journalctl -u lumora.Ampwarden.service";
    } else if (!hint.empty()) {
        hint.resize(hint.size() - 2);
    }
    return hint;
}

}  // namespace ampwarden::ctl
