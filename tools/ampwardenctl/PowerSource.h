#pragma once

#include <functional>
#include <string>

#include "ampwardenctl/KeepDecision.h"

namespace ampwarden::ctl {

// Where the battery app hears the battery's level and the mains state from. Readings are
// delivered on the app's run loop.
class PowerSource {
  public:
    using Handler = std::function<void(const PowerReading&)>;

    virtual ~PowerSource() = default;
    // Reads once and starts watching; `handler` gets every reading that differs from the last,
    // the first one included.
    virtual bool start(Handler handler, std::string& error) = 0;
    // The last reading; all unknown before start().
    virtual const PowerReading& last() const = 0;
    // What the readings come from, for people: "UPower" or "kernel attributes".
    virtual const char* name() const = 0;
};

}  // namespace ampwarden::ctl
