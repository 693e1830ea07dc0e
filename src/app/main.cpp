// The helper: no options of its own. Builds the real platform, waits for a console user,
// wires itself up and runs the main loop until the service manager ends it.
#include "app/Application.h"
#include "platform/LocalNotificationCenter.h"
#include "platform/linux/LinuxPlatform.h"

int main() {
    using namespace ampwarden;
    // Never torn down: ending the helper (SIGTERM) must leave the SMC keys and connection as
    // they are, so the objects outlive main and only the process's end reclaims them.
    static auto* platform = new LinuxPlatform;
    static auto* center = new LocalNotificationCenter;
    static auto* application = new Application(*platform, *center);
    return application->run();
}
