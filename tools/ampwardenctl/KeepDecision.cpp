#include "ampwardenctl/KeepDecision.h"

#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

struct Target {
    Hold hold;
    std::string reason;
};

std::string percent(int value) { return std::to_string(value) + " %"; }

// The discharge target holds the level at N: discharge above it on mains, stop charging at it,
// charge below it.
Target dischargeTarget(int level, bool mains, int target) {
    if (level > target) {
        if (mains) return {Hold::Discharging, "discharging down to " + percent(target)};
        return {Hold::Stopped, "above " + percent(target) + " on battery"};
    }
    if (level == target) return {Hold::Stopped, "holding at " + percent(target)};
    return {Hold::Released, "below " + percent(target)};
}

Target keepTarget(int level, int low, int high, Hold current) {
    if (level >= high) return {Hold::Stopped, "at or above " + percent(high)};
    if (level <= low) return {Hold::Released, "at or below " + percent(low)};
    Hold held = current == Hold::Stopped ? Hold::Stopped : Hold::Released;
    // Not known what the helper holds (start, wake, restart): charging is allowed until
    // the level reaches HIGH again, which is the safe side.
    return {held, std::string(held == Hold::Stopped ? "sailing down" : "charging up") + " to " +
                      percent(held == Hold::Stopped ? low : high)};
}

Target target(const PowerReading& reading, const BatterySettings& settings, Hold current) {
    if (!settings.holdsLevel()) return {Hold::Released, "no level to hold"};
    if (!reading.level) return {Hold::Released, "battery level unknown"};
    if (settings.dischargeTo) {
        return dischargeTarget(*reading.level, reading.mains.value_or(false),
                               *settings.dischargeTo);
    }
    return keepTarget(*reading.level, *settings.keepLow, *settings.keepHigh, current);
}

void appendTransition(std::vector<std::string>& out, Hold from, Hold to,
                      const BatterySettings& settings) {
    using namespace names;
    bool fresh = from == Hold::Unknown;
    bool mayDischarge = fresh ? settings.holdsLevel() : from == Hold::Discharging;
    if (to != Hold::Discharging && mayDischarge) {
        out.push_back(kSetDisableDischarging);
    }
    if (to == Hold::Stopped && from != Hold::Stopped) out.push_back(kSetDisableCharging);
    if (to == Hold::Discharging && from != Hold::Discharging) out.push_back(kSetEnableDischarging);
    // Resuming charging also lifts the charge limit, so it is set again afterwards. With no
    // level setting, charging was never stopped by the app and is left alone.
    bool resume = to == Hold::Released && from != Hold::Released && settings.holdsLevel();
    if (resume) out.push_back(kSetEnableCharging);
    if (settings.limit && (fresh || (resume && *settings.limit))) {
        out.push_back(*settings.limit ? kSetEnableChargingLimitMax : kSetDisableChargingLimitMax);
    }
}

}  // namespace

std::string levelText(const PowerReading& reading) {
    return reading.level ? percent(*reading.level) : "unknown";
}

std::string mainsText(const PowerReading& reading) {
    return reading.mains ? (*reading.mains ? "on mains" : "on battery") : "mains unknown";
}

const char* holdName(Hold hold) {
    switch (hold) {
        case Hold::Unknown:
            return "unknown";
        case Hold::Released:
            return "charging allowed";
        case Hold::Stopped:
            return "charging stopped";
        case Hold::Discharging:
            return "discharging";
    }
    return "unknown";
}

KeepDecision decideHold(const PowerReading& reading, const BatterySettings& settings, Hold current,
                        bool resend) {
    Target wanted = target(reading, settings, current);
    KeepDecision decision{wanted.hold, {}, wanted.reason};
    appendTransition(decision.commands, resend ? Hold::Unknown : current, wanted.hold, settings);
    return decision;
}

}  // namespace ampwarden::ctl
