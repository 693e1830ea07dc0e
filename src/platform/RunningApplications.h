#pragma once

#include <functional>
#include <string>
#include <vector>

namespace ampwarden {

// Whether an application runs, and which connections may speak for it.
struct ApplicationLookup {
    enum class State { Running, NotRunning, Unknown };
    State state = State::Unknown;
    // Running: the bus connections (unique names) that hold the id, then those waiting for it.
    // Anyone may claim an id first, so the application may be any one of them.
    std::vector<std::string> owners;
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
