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
// take the roles they use through their constructors; there is no process-wide platform.
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
};

}  // namespace ampwarden
