#include "ampwardenctl/AnswerWaiter.h"

#include <algorithm>
#include <utility>

namespace ampwarden::ctl {

AnswerWaiter::AnswerWaiter(AnswerSteps steps) : steps_(std::move(steps)) {}

bool AnswerWaiter::offer(const std::string& name) {
    if (done()) return false;
    const auto& step = steps_[next_];
    if (std::find(step.begin(), step.end(), name) == step.end()) return false;
    ++next_;
    return true;
}

std::string AnswerWaiter::awaited() const { return done() ? "" : describeStep(steps_[next_]); }

}  // namespace ampwarden::ctl
