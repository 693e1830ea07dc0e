#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ampwardenctl/BatterySettings.h"

namespace ampwarden::ctl {

// What the app holds the charging in.
enum class Hold {
    Unknown,      // not known (at start, after a wake-up, after the helper restarted)
    Released,     // charging allowed: the app holds nothing
    Stopped,      // charging stopped
    Discharging,  // a forced discharge runs
};

const char* holdName(Hold hold);

// The battery as the system reports it. A level of none means "unknown" (no battery found, or
// the source has not said yet); mains of none means "unknown", treated as not on mains.
struct PowerReading {
    std::optional<int> level;
    std::optional<bool> mains;
    // What the battery itself says it does: "charging", "discharging", "not charging", "full",
    // ...; empty when nothing says.
    std::string state = {};
};

// "78 %" or "unknown"; "on mains", "on battery" or "mains unknown".
std::string levelText(const PowerReading& reading);
std::string mainsText(const PowerReading& reading);

// The commands to post (in order) to go from the current hold to `next`, and why.
struct KeepDecision {
    Hold next = Hold::Released;
    std::vector<std::string> commands;
    std::string reason;
};

// Decides what the app holds next. A pure function of its arguments: stop charging at the
// keep range's HIGH, resume at its LOW and keep the current hold in between; with a discharge
// target, discharge on mains while above it and stop charging at it. An unknown level gives
// charging back, so nothing is left stopped on a guess. From Hold::Unknown, or with `resend`
// (the helper may have lost what it held: a wake-up, a restart), every command the target
// needs is posted, the charge limit included.
KeepDecision decideHold(const PowerReading& reading, const BatterySettings& settings, Hold current,
                        bool resend = false);

}  // namespace ampwarden::ctl
