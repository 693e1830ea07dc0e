#include "platform/linux/IoPermPortIo.h"

#include <time.h>

#include <cerrno>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define AMPWARDEN_HAS_PORTS 1
#else
#define AMPWARDEN_HAS_PORTS 0
#endif

namespace ampwarden {

std::unique_ptr<IoPermPortIo> IoPermPortIo::open(std::uint16_t first, std::uint16_t count,
                                                 std::string& error) {
#if AMPWARDEN_HAS_PORTS
    if (::ioperm(first, count, 1) != 0) {
        const int code = errno;
        error = std::string("ioperm refused: ") + std::strerror(code) +
                (code == EPERM ? " (needs CAP_SYS_RAWIO, and no kernel lockdown)" : "");
        return nullptr;
    }
    return std::unique_ptr<IoPermPortIo>(new IoPermPortIo(first, count));
#else
    (void)first;
    (void)count;
    error = "this processor has no I/O ports";
    return nullptr;
#endif
}

IoPermPortIo::~IoPermPortIo() {
#if AMPWARDEN_HAS_PORTS
    ::ioperm(first_, count_, 0);
#endif
}

std::uint8_t IoPermPortIo::in(std::uint16_t port) {
#if AMPWARDEN_HAS_PORTS
    return ::inb(port);
#else
    (void)port;
    return 0xff;
#endif
}

void IoPermPortIo::out(std::uint16_t port, std::uint8_t value) {
#if AMPWARDEN_HAS_PORTS
    ::outb(value, port);
#else
    (void)port;
    (void)value;
#endif
}

void IoPermPortIo::pause(std::chrono::microseconds duration) {
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
    timespec left{static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace ampwarden
