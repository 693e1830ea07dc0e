#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ampwardenctl/Answer.h"
#include "ampwardenctl/CommandSender.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden::ctl {

// How ClientBus::run() ended.
enum class RunResult {
    Stopped,       // stop() was called
    TimedOut,      // the time given to run() passed
    Interrupted,   // SIGINT or SIGTERM
    Disconnected,  // the bus went away
    Failed,        // the event loop itself failed
};

// Where the app stands in the queue of a well-known name.
struct NameStanding {
    bool owner = false;       // the primary owner; else waiting in the queue
    std::string ownerSender;  // the primary owner's unique name, when waiting
    std::optional<unsigned> ownerUid;
};

// The main app's side of the channel on the system bus (or the one DBUS_SYSTEM_BUS_ADDRESS
// names). Everything runs on the calling thread. Made with connect(), it has an event loop of
// its own that catches SIGINT and SIGTERM from construction on; made with join(), it is served
// by a loop someone else runs (the battery app's).
class ClientBus : public CommandSender {
  public:
    // None when the bus cannot be reached; `error` says why.
    static std::unique_ptr<ClientBus> connect(std::string& error);
    static std::unique_ptr<ClientBus> join(sd_event* loop, std::string& error);
    ~ClientBus() override;
    ClientBus(const ClientBus&) = delete;
    ClientBus& operator=(const ClientBus&) = delete;

    // Hands every answer posted from now on to `handler`. Returns once the bus has installed
    // the match, so an answer to a command posted afterwards cannot be missed. Answers of the
    // wrong shape are reported on standard error and dropped.
    bool subscribe(AnswerHandler handler, std::string& error) override;
    // Posts one command (the Darwin signal).
    bool postCommand(const std::string& name, std::string& error) override;
    bool connected() const override;
    // Drives the bus by hand: the loop may have ended.
    void drain(double seconds, const std::function<bool()>& done) override;

    // Asks for a well-known name for as long as this connection lives, and waits in its queue
    // while another connection owns it. None on failure (`error` says why), and when another
    // connection of this user is already ahead in the queue: one app per user.
    std::optional<NameStanding> queueForName(const std::string& name, std::string& error);

    // Runs `fn` as the loop ends, before the bus is closed.
    bool atExit(std::function<void()> fn, std::string& error);

    // Runs the loop of connect() until stop(), the timeout (none: no limit), a signal, or the
    // loss of the bus. Call it at most once.
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
    ClientBus() = default;
    bool open(sd_event* loop, std::string& error);
    bool catchSignal(int signal, sd::EventSourcePtr& source, std::string& error);
    std::optional<unsigned> uidOf(const std::string& sender);
    void finish(RunResult result);

    static int onAnswer(sd_bus_message* message, void* self, sd_bus_error* error);
    static int onSignal(sd_event_source* source, const struct signalfd_siginfo* info, void* self);
    static int onTimeout(sd_event_source* source, std::uint64_t usec, void* self);
    static int onExit(sd_event_source* source, void* self);

    // Declared so that sources and slots go before the bus, and the bus before the loop.
    sd::EventPtr event_;
    sd::BusPtr bus_;
    sd::SlotPtr answerSlot_;
    sd::EventSourcePtr interruptSource_;
    sd::EventSourcePtr terminateSource_;
    sd::EventSourcePtr timeoutSource_;
    sd::EventSourcePtr exitSource_;
    AnswerHandler handler_;
    std::function<void()> atExit_;
    std::optional<RunResult> result_;
};

}  // namespace ampwarden::ctl
