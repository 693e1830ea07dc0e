#include "app/Application.h"

#include "app/AppDelegate.h"
#include "app/ConsoleUser.h"
#include "platform/Platform.h"

namespace ampwarden {

Application::Application() = default;
Application::~Application() = default;

int Application::run() {
    start();
    return Platform::current().runLoop().run();
}

void Application::start() {
    if (currentConsoleUser()) {
        launch();
        return;
    }
    // Asking once a second costs nothing measurable, unlike asking in a tight loop, and
    // starts the helper well within two seconds of a login.
    waitTimer_ = Platform::current().runLoop().repeating(kConsoleUserPollSeconds, [this] {
        if (!currentConsoleUser()) return;
        waitTimer_->cancel();
        launch();
    });
}

void Application::launch() {
    delegate_ = std::make_unique<AppDelegate>();
    delegate_->applicationDidFinishLaunching();
}

}  // namespace ampwarden
