// The helper: no options of its own. Builds the real platform, waits for a console user,
// wires itself up and runs the main loop until the service manager ends it.
#include "app/Application.h"
#include "platform/linux/LinuxPlatform.h"

int main() {
    ampwarden::LinuxPlatform platform;
    ampwarden::Application application;
    return application.run();
}
