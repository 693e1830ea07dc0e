#pragma once

#include "platform/CommandAuthority.h"
#include "platform/Diagnostics.h"
#include "platform/DisplayMonitor.h"
#include "platform/LoginManager.h"
#include "platform/MachineFacts.h"
#include "platform/NotificationChannel.h"
#include "platform/ProcessRunner.h"
#include "platform/RunLoop.h"
#include "platform/RunningApplications.h"
#include "platform/SmcService.h"
#include "platform/SpeechSynthesizer.h"

namespace ampwarden {

// Everything outside the process that the helper's logic reaches, one service per role. Objects
// take the roles they use through their constructors. The installed platform serves only the
// operations whose fixed names leave no room for one (the status reports, uninstalling,
// speech, shell commands, posting an answer, the shared SMC and selfClass callback); main()
// installs the Linux platform, and tests of those operations an in-memory one.
class Platform {
  public:
    virtual ~Platform() = default;

    virtual RunLoop& runLoop() = 0;
    virtual NotificationChannel& channel() = 0;
    virtual LoginManager& loginManager() = 0;
    virtual DisplayMonitor& displays() = 0;
    virtual RunningApplications& applications() = 0;
    virtual MachineFacts& machine() = 0;
    virtual SmcService& smc() = 0;
    virtual Diagnostics& diagnostics() = 0;
    virtual ProcessRunner& processes() = 0;
    virtual SpeechSynthesizer& speech() = 0;
    virtual CommandAuthority& authority() = 0;

    // The installed platform. Calling it before install() is a programming error.
    static Platform& current();
    // Installs (or, with nullptr, removes) the process's platform. Not owned.
    static void install(Platform* platform);
};

}  // namespace ampwarden
