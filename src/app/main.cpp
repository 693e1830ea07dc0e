// The helper: no options of its own. Builds the real platform, waits for a console user,
// wires itself up and runs the main loop until the service manager ends it.
#include "app/Application.h"
#include "channel/LocalNotificationCenter.h"
#include "platform/linux/LinuxPlatform.h"

int main() {
    using namespace ampwarden;
    // Never torn down: ending the helper (SIGTERM) must leave the SMC keys and connection as
    // they are, so the objects outlive main and only the process's end reclaims them.
    static auto* platform = new LinuxPlatform;
    // For the few operations whose names leave no room for a platform of their own.
    Platform::install(platform);
    static auto* application = new Application(*platform, LocalNotificationCenter::defaultCenter());
    return application->run();
}
