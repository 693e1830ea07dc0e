#pragma once

#include <optional>
#include <string>

namespace ampwarden::ctl {

// Why the helper did not answer, from what the system bus can tell without the helper: the
// service's state (systemd) and whether someone is logged in at the machine (logind's seat0),
// since the helper answers nothing until then.
class HelperDiagnosis {
  public:
    static constexpr const char* kUnit = "lumora.Ampwarden.service";

    enum class Unit { Unknown, Running, NotRunning };
    struct Facts {
        Unit unit = Unit::Unknown;
        std::string unitState;              // systemd's ActiveState, when known
        std::optional<bool> someoneAtSeat;  // a user (not a login screen) active on seat0
    };

    // Asks systemd and logind on a connection of its own to the system bus, each bounded to a
    // second; what does not answer stays unknown.
    static Facts gather();

    // One phrase for the silence: not running, running but waiting for someone to log in at
    // the machine, or not authorised (only for a command that needs it, from a sender other
    // than root).
    static std::string explain(const Facts& facts, bool needsAuthorisation, bool root);
};

}  // namespace ampwarden::ctl
