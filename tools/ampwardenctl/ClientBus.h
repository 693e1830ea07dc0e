#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ampwardenctl/Answer.h"

namespace ampwarden::ctl {

// How ClientBus::run() ended.
enum class RunResult {
    Stopped,       // stop() was called
    TimedOut,      // the time given to run() passed
    Interrupted,   // SIGINT or SIGTERM
    Disconnected,  // the bus went away
    Failed,        // the event loop itself failed
};

// The main app's side of the channel on the system bus (or the one DBUS_SYSTEM_BUS_ADDRESS
// names), with its own event loop. Everything runs on the calling thread; SIGINT and SIGTERM
// are caught by the loop from construction on.
class ClientBus {
  public:
    using AnswerHandler = std::function<void(const Answer&)>;

    // None when the bus cannot be reached; `error` says why.
    static std::unique_ptr<ClientBus> connect(std::string& error);
    ~ClientBus();
    ClientBus(const ClientBus&) = delete;
    ClientBus& operator=(const ClientBus&) = delete;

    // Hands every answer posted from now on to `handler`. Returns once the bus has installed
    // the match, so an answer to a command posted afterwards cannot be missed. Answers of the
    // wrong shape are reported on standard error and dropped.
    bool subscribe(AnswerHandler handler, std::string& error);

    // Posts one command (the Darwin signal).
    bool postCommand(const std::string& name, std::string& error);

    // Owns a well-known name, for as long as this connection lives.
    bool claimName(const std::string& name, std::string& error);

    // Runs the loop until stop(), the timeout (none: no limit), a signal, or the loss of the
    // bus. Call it at most once.
    RunResult run(std::optional<double> timeoutSeconds);

    // Ends run(); meant for handlers.
    void stop();

    // Writes out everything queued; for a program about to exit without running the loop.
    bool flush(std::string& error);

    // The connection and its loop, for parts of the client that watch other services on the
    // same bus. Owned by this object.
    sd_bus* bus() const { return bus_.get(); }
    sd_event* event() const { return event_.get(); }

  private:
    struct BusDeleter {
        void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
    };
    struct EventDeleter {
        void operator()(sd_event* event) const { sd_event_unref(event); }
    };
    struct SlotDeleter {
        void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
    };
    struct SourceDeleter {
        void operator()(sd_event_source* source) const { sd_event_source_unref(source); }
    };
    using SourcePtr = std::unique_ptr<sd_event_source, SourceDeleter>;

    ClientBus() = default;
    bool open(std::string& error);
    bool catchSignal(int signal, SourcePtr& source, std::string& error);
    void finish(RunResult result);

    static int onAnswer(sd_bus_message* message, void* self, sd_bus_error* error);
    static int onSignal(sd_event_source* source, const struct signalfd_siginfo* info, void* self);
    static int onTimeout(sd_event_source* source, std::uint64_t usec, void* self);

    // Declared so that sources and slots go before the bus, and the bus before the loop.
    std::unique_ptr<sd_event, EventDeleter> event_;
    std::unique_ptr<sd_bus, BusDeleter> bus_;
    std::unique_ptr<sd_bus_slot, SlotDeleter> answerSlot_;
    SourcePtr interruptSource_;
    SourcePtr terminateSource_;
    SourcePtr timeoutSource_;
    AnswerHandler handler_;
    std::optional<RunResult> result_;
};

}  // namespace ampwarden::ctl
