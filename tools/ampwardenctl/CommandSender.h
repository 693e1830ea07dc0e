#pragma once

#include <functional>
#include <string>

#include "ampwardenctl/Answer.h"

namespace ampwarden::ctl {

// The battery app's side of the helper's command channel: it posts commands and hears every
// answer, whoever asked.
class CommandSender {
  public:
    using AnswerHandler = std::function<void(const Answer&)>;

    virtual ~CommandSender() = default;
    // Hands every answer posted from now on to `handler`, on the run loop.
    virtual bool subscribe(AnswerHandler handler, std::string& error) = 0;
    // Posts one command.
    virtual bool postCommand(const std::string& name, std::string& error) = 0;
    // False once the connection is gone: nothing posted would arrive.
    virtual bool connected() const = 0;
    // For the way out, when the run loop no longer runs: delivers answers by hand until
    // `done()` holds or `seconds` have passed.
    virtual void drain(double seconds, const std::function<bool()>& done) = 0;
};

}  // namespace ampwarden::ctl
