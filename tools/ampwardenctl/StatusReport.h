#pragma once

#include <map>
#include <optional>
#include <string>

#include "ampwardenctl/Answer.h"
#include "ampwardenctl/AppStateFile.h"
#include "ampwardenctl/BackendPreview.h"
#include "ampwardenctl/ClientBus.h"
#include "ampwardenctl/HelperDiagnosis.h"

namespace ampwarden::ctl {

// `ampwardenctl status`: asks the helper its three read-only questions (run state, SMC
// connection, charging state), reads what the running app published, works out the SMC
// backend this machine's setting picks, and prints one screen or one JSON object. Anything
// that did not answer is shown as unknown.
class StatusReport {
  public:
    // Values of the answers and of the app's state file, by key.
    struct Facts {
        std::map<std::string, Answer> answers;  // by answer name
        std::optional<AppSnapshot> app;         // the app's state file; none: not running
        PowerReading battery;                   // the app's reading, else one made here
        std::string batterySource;
        BackendPreview::Preview backend;
        HelperDiagnosis::Facts silence;  // why the helper did not answer, when it did not
    };

    // Gathers everything, waiting up to `timeoutSeconds` for the helper. False only when the
    // bus failed (`error` says how); a silent helper is a fact, not an error.
    static bool gather(ClientBus& bus, double timeoutSeconds, Facts& facts, std::string& error);

    static std::string formatText(const Facts& facts);
    static std::string formatJson(const Facts& facts);
};

}  // namespace ampwarden::ctl
