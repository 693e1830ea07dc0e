#include "ampwardenctl/CommandTable.h"

#include <map>

#include "channel/NotificationNames.h"
#include "channel/ZTBatteryNewModule.h"

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

}  // namespace

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
