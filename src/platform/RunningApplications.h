#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ampwarden {

// The applications running right now, by application id; an entry without an id is none.
class RunningApplications {
  public:
    virtual ~RunningApplications() = default;
    virtual std::vector<std::optional<std::string>> runningApplicationIds() = 0;
};

}  // namespace ampwarden
