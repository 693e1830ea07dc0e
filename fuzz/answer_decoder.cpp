// ampwardenctl's answer decoder on Distributed signals of any shape. The input is a small
// program that builds the message: each byte picks a step (append a basic value, open or close
// a container), later bytes give the values; steps the builder refuses are skipped.
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "ampwardenctl/AnswerDecoder.h"

using namespace ampwarden;

namespace {

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::uint8_t byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    std::string text() {
        std::string out;
        for (std::uint8_t n = byte() % 16; n > 0 && size > 0; --n) out.push_back(char(byte()));
        return out;
    }
};

// A bus that never connects: enough for sd-bus to build and seal messages.
sd_bus* offlineBus() {
    static sd_bus* bus = [] {
        int fds[2];
        sd_bus* made = nullptr;
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return made;
        if (sd_bus_new(&made) < 0 || sd_bus_set_fd(made, fds[0], fds[0]) < 0 ||
            sd_bus_start(made) < 0) {
            return made;
        }
        return made;
    }();
    return bus;
}

void appendStep(sd_bus_message* m, Input& in) {
    static const char* const kContainers[] = {"{sv}", "sv", "s", "i", "v", "a{sv}"};
    switch (in.byte() % 9) {
        case 0:
            sd_bus_message_append_basic(m, 's', in.text().c_str());
            break;
        case 1: {
            const auto i = static_cast<std::int32_t>(in.byte() * 0x01010101u);
            sd_bus_message_append_basic(m, 'i', &i);
            break;
        }
        case 2: {
            std::int64_t x = -std::int64_t{in.byte()};
            sd_bus_message_append_basic(m, 'x', &x);
            break;
        }
        case 3: {
            int b = in.byte() & 1;
            sd_bus_message_append_basic(m, 'b', &b);
            break;
        }
        case 4: {
            double d = in.byte() / 3.0;
            sd_bus_message_append_basic(m, 'd', &d);
            break;
        }
        case 5:
            sd_bus_message_open_container(m, 'a', kContainers[in.byte() % 6]);
            break;
        case 6:
            sd_bus_message_open_container(m, 'e', "sv");
            break;
        case 7:
            sd_bus_message_open_container(m, 'v', kContainers[2 + in.byte() % 4]);
            break;
        default:
            sd_bus_message_close_container(m);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sd_bus* bus = offlineBus();
    sd_bus_message* m = nullptr;
    if (bus == nullptr || sd_bus_message_new_signal(bus, &m, "/lumora/Notifications",
                                                    "lumora.Notifications", "Distributed") < 0) {
        return 0;
    }
    Input in{data, size};
    for (int steps = 0; in.size > 0 && steps < 64; ++steps) appendStep(m, in);
    while (sd_bus_message_close_container(m) >= 0) {
    }
    if (sd_bus_message_seal(m, 1, 0) >= 0) {
        std::string error;
        (void)ctl::decodeAnswer(m, error);
    }
    sd_bus_message_unref(m);
    return 0;
}
