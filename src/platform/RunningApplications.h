#pragma once

#include <functional>
#include <string>

namespace ampwarden {

// Whether an application runs, and which connection speaks for it.
struct ApplicationLookup {
    enum class State { Running, NotRunning, Unknown };
    State state = State::Unknown;
    std::string owner;    // Running: the bus connection (unique name) that holds the id
    std::string failure;  // Unknown: why nobody could tell
};

// The running applications, by application id.
class RunningApplications {
  public:
    using LookupCallback = std::function<void(const ApplicationLookup&)>;

    virtual ~RunningApplications() = default;
    // Answers once, on the main loop, possibly before it returns; never blocks the loop. A
    // failed or timed-out query answers Unknown, never NotRunning.
    virtual void findApplication(const std::string& id, LookupCallback done) = 0;
};

}  // namespace ampwarden
