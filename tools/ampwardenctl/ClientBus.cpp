#include "ampwardenctl/ClientBus.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "ampwardenctl/AnswerDecoder.h"
#include "platform/DBusNames.h"
#include "platform/linux/CallbackGuard.h"

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
    if (!client->open(nullptr, error)) return nullptr;
    return client;
}

std::unique_ptr<ClientBus> ClientBus::join(sd_event* loop, std::string& error) {
    std::unique_ptr<ClientBus> client(new ClientBus());
    if (!client->open(loop, error)) return nullptr;
    return client;
}

ClientBus::~ClientBus() = default;

bool ClientBus::open(sd_event* loop, std::string& error) {
    sd_event* event = loop ? sd_event_ref(loop) : nullptr;
    int r = loop ? 0 : sd_event_new(&event);
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
    if (loop) return true;  // its owner catches the signals
    return catchSignal(SIGINT, interruptSource_, error) &&
           catchSignal(SIGTERM, terminateSource_, error);
}

bool ClientBus::catchSignal(int signal, sd::EventSourcePtr& source, std::string& error) {
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

bool ClientBus::connected() const { return sd_bus_is_open(bus_.get()) > 0; }

void ClientBus::drain(double seconds, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        const int r = sd_bus_process(bus_.get(), nullptr);
        if (r < 0) return;
        if (r == 0 && sd_bus_wait(bus_.get(), static_cast<std::uint64_t>(left.count())) < 0) {
            return;
        }
    }
}

// Queued rather than refused: a stranger who took the name first must not keep the app from
// running. No replacement either way: nobody can push the app back into the queue.
std::optional<NameStanding> ClientBus::queueForName(const std::string& name, std::string& error) {
    int r = sd_bus_request_name(bus_.get(), name.c_str(), SD_BUS_NAME_QUEUE);
    if (r < 0) {
        fail(error, "cannot own \"" + name + "\"", r);
        return std::nullopt;
    }
    NameStanding standing;
    standing.owner = r > 0;
    if (standing.owner) return standing;
    sd::BusError callError;
    sd_bus_message* raw = nullptr;
    r = sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "ListQueuedOwners", callError.get(), &raw, "s",
                           name.c_str());
    const sd::MessagePtr reply(raw);
    const char* self = nullptr;
    sd_bus_get_unique_name(bus_.get(), &self);
    const std::optional<unsigned> myUid = uidOf(self ? self : "");
    const char* sender = nullptr;
    if (r >= 0) r = sd_bus_message_enter_container(reply.get(), 'a', "s");
    while (r > 0 && sd_bus_message_read_basic(reply.get(), 's', &sender) > 0) {
        if (self && std::strcmp(sender, self) == 0) break;  // only those ahead count
        const auto uid = uidOf(sender);
        if (standing.ownerSender.empty()) {
            standing.ownerSender = sender;
            standing.ownerUid = uid;
        }
        if (uid && uid == myUid) {
            error = "\"" + name + "\" is already owned by another connection of this user (" +
                    sender + ")";
            return std::nullopt;
        }
    }
    return standing;
}

std::optional<unsigned> ClientBus::uidOf(const std::string& sender) {
    sd::BusError callError;
    sd_bus_message* raw = nullptr;
    const int r = sd_bus_call_method(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetConnectionUnixUser",
                                     callError.get(), &raw, "s", sender.c_str());
    const sd::MessagePtr reply(raw);
    std::uint32_t uid = 0;
    if (r < 0 || sd_bus_message_read_basic(reply.get(), 'u', &uid) <= 0) return std::nullopt;
    return uid;
}

bool ClientBus::atExit(std::function<void()> fn, std::string& error) {
    atExit_ = std::move(fn);
    sd_event_source* raw = nullptr;
    int r = sd_event_add_exit(event_.get(), &raw, onExit, this);
    exitSource_.reset(raw);
    // Before the bus's own exit handler, which closes the connection.
    if (r >= 0) r = sd_event_source_set_priority(raw, SD_EVENT_PRIORITY_IMPORTANT);
    if (r < 0) return fail(error, "cannot prepare the exit", r);
    return true;
}

int ClientBus::onExit(sd_event_source* source, void* self) {
    auto* client = static_cast<ClientBus*>(self);
    return CallbackGuard::run(sd_event_source_get_event(source), "the way out", [client] {
        if (client->atExit_) client->atExit_();
    });
}

RunResult ClientBus::run(std::optional<double> timeoutSeconds) {
    if (timeoutSeconds) {
        sd_event_source* raw = nullptr;
        auto usec = static_cast<std::uint64_t>(*timeoutSeconds * 1e6);
        // Accuracy 1 µs: the default lets the loop wake up to 250 ms late.
        int r = sd_event_add_time_relative(event_.get(), &raw, CLOCK_MONOTONIC, usec, 1, onTimeout,
                                           this);
        timeoutSource_.reset(raw);
        if (r < 0) return RunResult::Failed;
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
    return CallbackGuard::run(message, "an answer", [client, message] {
        std::string error;
        auto answer = decodeAnswer(message, error);
        if (!answer) {
            std::fprintf(stderr, "ampwardenctl: ignored %s\n", error.c_str());
        } else if (client->handler_) {
            client->handler_(*answer);
        }
    });
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
