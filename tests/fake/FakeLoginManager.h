#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "platform/LoginManager.h"

namespace ampwarden::test {

// A scripted login manager: tests set the console user and the lid, and fire sleep/wake.
class FakeLoginManager : public LoginManager {
  public:
    std::optional<std::string> consoleUser() override {
        ++consoleUserQueries;
        return user;
    }
    std::optional<bool> clamshellClosed() override {
        ++lidQueries;
        return lidClosed;
    }
    void setSleepHandlers(std::function<void()> willSleep, std::function<void()> didWake) override {
        willSleep_ = std::move(willSleep);
        didWake_ = std::move(didWake);
    }
    void sleepWorkDone() override { ++sleepWorkDoneCalls; }

    void fireWillSleep() {
        if (willSleep_) willSleep_();
    }
    void fireDidWake() {
        if (didWake_) didWake_();
    }

    std::optional<std::string> user = std::string("alice");
    std::optional<bool> lidClosed;
    int consoleUserQueries = 0;
    int lidQueries = 0;
    int sleepWorkDoneCalls = 0;

  private:
    std::function<void()> willSleep_;
    std::function<void()> didWake_;
};

}  // namespace ampwarden::test
