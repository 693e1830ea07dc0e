#pragma once

#include <memory>

#include "platform/LocalNotificationCenter.h"
#include "platform/Platform.h"
#include "platform/RunLoop.h"

namespace ampwarden {

class AppDelegate;

// The process: waits for a console user, then finishes launching the delegate on `platform`
// and runs the main loop until the process is ended from outside. The platform and the
// center must outlive it.
class Application {
  public:
    Application(Platform& platform, LocalNotificationCenter& center);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Returns the main loop's exit code.
    int run();

    // Starts waiting (or launches at once when a user is already logged in) without running
    // the loop; run() calls it first. Tests drive the loop themselves.
    void start();

    bool launched() const { return delegate_ != nullptr; }

    // How often the console user is asked for while nobody is logged in.
    static constexpr double kConsoleUserPollSeconds = 1.0;

  private:
    void launch();

    Platform& platform_;
    LocalNotificationCenter& center_;
    std::unique_ptr<Timer> waitTimer_;
    std::unique_ptr<AppDelegate> delegate_;
};

}  // namespace ampwarden
