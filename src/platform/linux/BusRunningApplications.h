#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/RunningApplications.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden {

// The applications on the system bus: each well-known name that some connection owns is one
// running application id (the main app owns "lumora.Battery" while it runs).
class BusRunningApplications : public RunningApplications {
  public:
    // `bus` may be null (no connection): the list is then empty.
    BusRunningApplications(sd_bus* bus, Diagnostics& log);

    std::vector<std::optional<std::string>> runningApplicationIds() override;

  private:
    sd_bus* bus_;
    Diagnostics& log_;
    bool loggedFailure_ = false;
};

}  // namespace ampwarden
