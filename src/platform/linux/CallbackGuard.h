#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <exception>
#include <type_traits>

namespace ampwarden {

// libsystemd calls our handlers through C frames, which an exception must never unwind.
// Every handler we hand it runs its C++ inside run(): whatever escapes is logged and ends the
// main loop with kExitCode, so the service manager restarts the helper in a known state.
class CallbackGuard {
  public:
    static constexpr int kExitCode = 70;  // EX_SOFTWARE

    // Runs body on `event`'s loop; its result (0 for a void body), or 0 after an escape.
    template <typename Body>
    static int run(sd_event* event, const char* where, Body&& body) noexcept {
        try {
            if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
                body();
                return 0;
            } else {
                return body();
            }
        } catch (const std::exception& error) {
            escaped(event, where, error.what());
        } catch (...) {
            escaped(event, where, "an exception of unknown type");
        }
        return 0;
    }

    // The same for a bus handler: the loop is the one the message's bus is attached to.
    template <typename Body>
    static int run(sd_bus_message* message, const char* where, Body&& body) noexcept {
        sd_bus* bus = message != nullptr ? sd_bus_message_get_bus(message) : nullptr;
        return run(bus != nullptr ? sd_bus_get_event(bus) : nullptr, where,
                   std::forward<Body>(body));
    }

  private:
    static void escaped(sd_event* event, const char* where, const char* what) noexcept;
};

}  // namespace ampwarden
