#include "platform/linux/CallbackGuard.h"

#include <syslog.h>

#include <cstdio>

namespace ampwarden {

// Writes through syslog(3) and stderr directly: the platform's own log may be what threw.
void CallbackGuard::escaped(sd_event* event, const char* where, const char* what) noexcept {
    syslog(LOG_CRIT, "Ampwarden: %s failed: %s; exiting", where, what);
    std::fprintf(stderr, "Ampwarden: %s failed: %s; exiting\n", where, what);
    if (event != nullptr) sd_event_exit(event, kExitCode);
}

}  // namespace ampwarden
