#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/ConsoleUser.h"

namespace ampwarden {

Application::Application(Platform& platform, LocalNotificationCenter& center)
    : platform_(platform), center_(center) {}

Application::~Application() = default;

int Application::run() {
    start();
    return platform_.runLoop().run();
}

void Application::start() {
    if (currentConsoleUser(platform_.loginManager())) {
        launch();
        return;
    }
    // Asking once a second costs nothing measurable, unlike asking in a tight loop, and
    // starts the helper well within two seconds of a login.
    waitTimer_ = platform_.runLoop().repeating(kConsoleUserPollSeconds, [this] {
        if (!currentConsoleUser(platform_.loginManager())) return;
        waitTimer_->cancel();
        launch();
    });
}

void Application::launch() {
    delegate_ = std::make_unique<AppDelegate>(platform_, center_);
    delegate_->applicationDidFinishLaunching();
}

}  // namespace ampwarden
