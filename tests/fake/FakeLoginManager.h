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
    std::optional<std::string> consoleUser() override { return user; }
    std::optional<bool> clamshellClosed() override {
        ++lidQueries;
        return lidClosed;
    }
    void setSleepHandlers(std::function<void()> willSleep, std::function<void()> didWake) override {
        fireWillSleep = std::move(willSleep);
        fireDidWake = std::move(didWake);
    }
    void sleepWorkDone() override { ++sleepWorkDoneCalls; }

    std::optional<std::string> user = std::string("alice");
    std::optional<bool> lidClosed;
    int lidQueries = 0;
    std::function<void()> fireWillSleep;  // the handlers the helper registered
    std::function<void()> fireDidWake;
    int sleepWorkDoneCalls = 0;
};

}  // namespace ampwarden::test
