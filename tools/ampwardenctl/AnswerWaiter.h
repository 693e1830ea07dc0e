#pragma once

#include <cstddef>
#include <string>

#include "ampwardenctl/CommandTable.h"

namespace ampwarden::ctl {

// Follows the answers of one command as they arrive on a bus that also carries everyone
// else's answers: only a name of the step awaited next counts, everything else is passed by.
class AnswerWaiter {
  public:
    explicit AnswerWaiter(AnswerSteps steps);

    // Takes one answer's name; true when it completes the step awaited (the caller shows it).
    bool offer(const std::string& name);
    bool done() const { return next_ >= steps_.size(); }

    // The step still awaited, as quoted names joined by " or "; empty when done.
    std::string awaited() const;

  private:
    AnswerSteps steps_;
    std::size_t next_ = 0;
};

}  // namespace ampwarden::ctl
