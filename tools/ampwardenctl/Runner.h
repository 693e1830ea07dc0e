#pragma once

#include "ampwardenctl/ClientBus.h"
#include "ampwardenctl/CommandLine.h"

namespace ampwarden::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // an answer did not come, or the bus failed
inline constexpr int kExitUsage = 2;

// Carries out one invocation on a connected bus and returns the exit status. Answers go to
// standard output, problems to standard error.
int runInvocation(ClientBus& bus, const Invocation& invocation);

}  // namespace ampwarden::ctl
