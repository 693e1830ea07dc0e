#pragma once

#include <functional>
#include <optional>
#include <string>

namespace ampwarden {

// The login manager: who sits at the console, sleep and wake, and the lid.
class LoginManager {
  public:
    virtual ~LoginManager() = default;

    // The name of the console user; "loginWindow" while only a login screen is shown;
    // none when nobody is logged in or the login manager cannot be asked.
    virtual std::optional<std::string> consoleUser() = 0;

    // true when the lid is closed, false when open, none when nobody can tell.
    virtual std::optional<bool> clamshellClosed() = 0;

    // Sleep and wake announcements, delivered on the main loop.
    virtual void setSleepHandlers(std::function<void()> willSleep,
                                  std::function<void()> didWake) = 0;

    // Says that the work started by the last will-sleep announcement is finished and the
    // machine may go to sleep now.
    virtual void sleepWorkDone() = 0;
};

}  // namespace ampwarden
