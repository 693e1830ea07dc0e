#pragma once

#include <string>

namespace ampwarden::ctl {

// Where the battery app tells the person at the desktop what they should know.
class Notifier {
  public:
    virtual ~Notifier() = default;
    // Shows `summary` and `body`; a later notice on the same `topic` takes the earlier one's
    // place instead of piling up beside it.
    virtual void notify(const std::string& topic, const std::string& summary,
                        const std::string& body) = 0;
};

}  // namespace ampwarden::ctl
