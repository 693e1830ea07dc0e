#include "ampwardenctl/ClientBus.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "ampwardenctl/AnswerDecoder.h"
#include "platform/DBusNames.h"

namespace ampwarden::ctl {
namespace {

// Sets `error` from a libsystemd error code and returns false, for one-line failure exits.
bool fail(std::string& error, const std::string& what, int r) {
    error = what + ": " + std::strerror(-r);
    return false;
}

}  // namespace

std::unique_ptr<ClientBus> ClientBus::connect(std::string& error) {
    std::unique_ptr<ClientBus> client(new ClientBus());
    if (!client->open(error)) return nullptr;
    return client;
}

ClientBus::~ClientBus() = default;

bool ClientBus::open(std::string& error) {
    sd_event* event = nullptr;
    int r = sd_event_new(&event);
    if (r < 0) return fail(error, "cannot create an event loop", r);
    event_.reset(event);
    sd_bus* bus = nullptr;
    r = sd_bus_open_system(&bus);
    if (r < 0) return fail(error, "cannot connect to the system bus", r);
    bus_.reset(bus);
    r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);
    if (r < 0) return fail(error, "cannot attach the bus to the event loop", r);
    r = sd_bus_set_exit_on_disconnect(bus, 1);
    if (r < 0) return fail(error, "cannot watch the bus connection", r);
    return catchSignal(SIGINT, interruptSource_, error) &&
           catchSignal(SIGTERM, terminateSource_, error);
}

bool ClientBus::catchSignal(int signal, SourcePtr& source, std::string& error) {
    sd_event_source* raw = nullptr;
    int r =
        sd_event_add_signal(event_.get(), &raw, signal | SD_EVENT_SIGNAL_PROCMASK, onSignal, this);
    if (r < 0) return fail(error, "cannot catch signals", r);
    source.reset(raw);
    return true;
}

bool ClientBus::subscribe(AnswerHandler handler, std::string& error) {
    handler_ = std::move(handler);
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(bus_.get(), &slot, nullptr, dbus::kObjectPath, dbus::kInterface,
                                dbus::kDistributedSignal, onAnswer, this);
    if (r < 0) return fail(error, "cannot subscribe to the answers", r);
    answerSlot_.reset(slot);
    return true;
}

bool ClientBus::postCommand(const std::string& name, std::string& error) {
    int r = sd_bus_emit_signal(bus_.get(), dbus::kObjectPath, dbus::kInterface, dbus::kDarwinSignal,
                               "s", name.c_str());
    if (r < 0) return fail(error, "cannot post the command", r);
    return true;
}

bool ClientBus::claimName(const std::string& name, std::string& error) {
    int r = sd_bus_request_name(bus_.get(), name.c_str(), 0);
    if (r == -EEXIST) {
        error = "\"" + name + "\" is already owned by another connection";
        return false;
    }
    if (r < 0) return fail(error, "cannot own \"" + name + "\"", r);
    return true;
}

RunResult ClientBus::run(std::optional<double> timeoutSeconds) {
    if (timeoutSeconds) {
        sd_event_source* raw = nullptr;
        auto usec = static_cast<std::uint64_t>(*timeoutSeconds * 1e6);
        // Accuracy 1 µs: the default lets the loop wake up to 250 ms late.
        int r = sd_event_add_time_relative(event_.get(), &raw, CLOCK_MONOTONIC, usec, 1, onTimeout,
                                           this);
        if (r < 0) return RunResult::Failed;
        timeoutSource_.reset(raw);
    }
    int r = sd_event_loop(event_.get());
    if (result_) return *result_;
    // The loop also ends on its own when the bus disconnects (exit-on-disconnect).
    if (!sd_bus_is_open(bus_.get())) return RunResult::Disconnected;
    return r < 0 ? RunResult::Failed : RunResult::Stopped;
}

void ClientBus::stop() { finish(RunResult::Stopped); }

bool ClientBus::flush(std::string& error) {
    int r = sd_bus_flush(bus_.get());
    if (r < 0) return fail(error, "cannot send to the bus", r);
    return true;
}

void ClientBus::finish(RunResult result) {
    if (!result_) result_ = result;
    sd_event_exit(event_.get(), 0);
}

int ClientBus::onAnswer(sd_bus_message* message, void* self, sd_bus_error*) {
    auto* client = static_cast<ClientBus*>(self);
    std::string error;
    auto answer = decodeAnswer(message, error);
    if (!answer) {
        std::fprintf(stderr, "ampwardenctl: ignored %s\n", error.c_str());
    } else if (client->handler_) {
        client->handler_(*answer);
    }
    return 0;
}

int ClientBus::onSignal(sd_event_source*, const struct signalfd_siginfo*, void* self) {
    static_cast<ClientBus*>(self)->finish(RunResult::Interrupted);
    return 0;
}

int ClientBus::onTimeout(sd_event_source*, std::uint64_t, void* self) {
    static_cast<ClientBus*>(self)->finish(RunResult::TimedOut);
    return 0;
}

}  // namespace ampwarden::ctl
