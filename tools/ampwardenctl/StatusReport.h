#pragma once

#include <map>
#include <optional>
#include <string>

#include "ampwardenctl/Answer.h"
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
        std::map<std::string, Answer> answers;   // by answer name
        std::map<std::string, std::string> app;  // the app's state file; empty: not running
        std::string batteryLevel = "unknown";    // when the app does not run
        std::string mains = "mains unknown";
        std::string batteryState;  // what the battery says it does; empty: unknown
        std::string batterySource;
        BackendPreview::Preview backend;
        HelperDiagnosis::Facts silence;  // why the helper did not answer, when it did not
    };

    // Gathers everything, waiting up to `timeoutSeconds` for the helper. False only when the
    // bus failed (`error` says how); a silent helper is a fact, not an error.
    static bool gather(ClientBus& bus, double timeoutSeconds, Facts& facts, std::string& error);

    static std::string formatText(const Facts& facts);
    static std::string formatJson(const Facts& facts);

    // The app's state file as key=value pairs; empty when there is none or its process is gone.
    static std::map<std::string, std::string> readAppState(const std::string& path);
    // The running app's state: this user's; for root (sudo keeps no XDG_RUNTIME_DIR) the
    // sudo user's, else any user's under `runUserDir` (/run/user).
    static std::map<std::string, std::string> findAppState(const std::string& runUserDir);
};

}  // namespace ampwarden::ctl
