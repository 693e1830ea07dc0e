#include "platform/Platform.h"

#include <cstdio>
#include <cstdlib>

namespace ampwarden {

namespace {
Platform* installed = nullptr;
}

Platform& Platform::current() {
    if (installed == nullptr) {
        std::fputs("ampwarden: no platform installed\n", stderr);
        std::abort();
    }
    return *installed;
}

void Platform::install(Platform* platform) { installed = platform; }

}  // namespace ampwarden
