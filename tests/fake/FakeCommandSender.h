#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ampwardenctl/CommandSender.h"

namespace ampwarden::test {

// Records what the app posts; tests answer as the helper would with deliver().
class FakeCommandSender : public ctl::CommandSender {
  public:
    bool subscribe(AnswerHandler handler, std::string&) override {
        handler_ = std::move(handler);
        return true;
    }
    bool postCommand(const std::string& name, std::string&) override {
        posted.push_back(name);
        return true;
    }
    bool connected() const override { return true; }
    void drain(double seconds, const std::function<bool()>&) override {
        drained = seconds;
        if (whileDraining) whileDraining();
    }

    void deliver(const ctl::Answer& answer) { handler_(answer); }
    // What was posted since the last call.
    std::vector<std::string> take() { return std::exchange(posted, {}); }

    std::vector<std::string> posted;
    std::function<void()> whileDraining;  // what the helper does while the app waits to leave
    double drained = 0;

  private:
    AnswerHandler handler_;
};

}  // namespace ampwarden::test
