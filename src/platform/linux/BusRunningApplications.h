#pragma once

#include <string>

#include "platform/RunningApplications.h"
#include "platform/linux/AsyncBusCalls.h"

namespace ampwarden {

// The applications on the system bus: an application id is a well-known name, running while
// some connection owns it (the main app owns "lumora.Battery" while it runs, or waits in the
// name's queue behind someone else). Asks the bus daemon for the name's owner and queue without
// waiting on it; a query that fails or gets no answer
// within a few seconds answers "unknown".
class BusRunningApplications : public RunningApplications {
  public:
    // `bus` may be null (no connection): every answer is then "unknown".
    explicit BusRunningApplications(sd_bus* bus);

    void findApplication(const std::string& id, LookupCallback done) override;

  private:
    AsyncBusCalls calls_;
};

}  // namespace ampwarden
