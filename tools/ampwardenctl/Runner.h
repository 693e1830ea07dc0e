#pragma once

#include <optional>
#include <string>

#include "ampwardenctl/BatterySettings.h"
#include "ampwardenctl/ClientBus.h"
#include "ampwardenctl/CommandLine.h"

namespace ampwarden::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // an answer did not come, or the bus failed
inline constexpr int kExitUsage = 2;
// The settings file cannot be used (sysexits' EX_CONFIG): the user service gives up on it
// instead of restarting, as the same file would fail the same way.
inline constexpr int kExitBadSettings = 78;

// Why the app cannot start with its settings: one line, and the exit status to end with.
struct SettingsProblem {
    int exitStatus;
    std::string message;
};

// Carries out one invocation on a connected bus and returns the exit status. Answers go to
// standard output, problems to standard error.
int runInvocation(ClientBus& bus, const Invocation& invocation);

// Asks the battery app on this user's session bus and returns the exit status; none when no
// app runs there (or there is no session bus), so `limit on|off` can go to the helper itself.
std::optional<int> askApp(const Invocation& invocation);

// Asks the battery app running on this user's session bus to change a setting or to charge
// to full once.
int runAppRequest(const Invocation& invocation);

// Runs the battery app on a loop and a bus connection of its own until a signal or the
// invocation's timeout, and returns the exit status.
int runBatteryApp(const Invocation& invocation, const BatterySettings& settings);

// The app's settings: the settings file, then the invocation's options over it. A bad file
// is kExitBadSettings, a bad option kExitUsage.
std::optional<SettingsProblem> resolveAppSettings(const Invocation& invocation,
                                                  BatterySettings& settings);

}  // namespace ampwarden::ctl
