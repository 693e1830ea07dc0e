#include "platform/linux/LogindLoginManager.h"

#include <fcntl.h>

#include <cstring>
#include <utility>

#include "platform/linux/CallbackGuard.h"

namespace ampwarden {

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSeat0Path = "/org/freedesktop/login1/seat/seat0";
constexpr const char* kSeat = "org.freedesktop.login1.Seat";
constexpr const char* kSession = "org.freedesktop.login1.Session";
// Every call runs on the main loop; a logind that does not answer must hold it up for half a
// second, not for the bus's default 25.
constexpr std::uint64_t kCallTimeoutUsec = 500000;
constexpr const char* kGreeterClass = "greeter";
constexpr const char* kLoginWindow = "loginWindow";

}  // namespace

LogindLoginManager::LogindLoginManager(sd_bus* bus, Diagnostics& log, bool delaySleep)
    : bus_(bus), log_(log), delaySleep_(delaySleep) {}

LogindLoginManager::~LogindLoginManager() = default;

std::optional<std::string> LogindLoginManager::consoleUser() {
    const auto session = activeSessionPath();
    if (!session) return std::nullopt;
    const auto sessionClass = stringProperty(*session, "Class");
    if (sessionClass && *sessionClass == kGreeterClass) return std::string(kLoginWindow);
    auto name = stringProperty(*session, "Name");
    if (!name || name->empty()) return std::nullopt;
    return name;
}

// seat0's active session as an object path; none when logind has no seat0 or nobody is active
// (logind then reports the path "/").
std::optional<std::string> LogindLoginManager::activeSessionPath() {
    auto reply = getProperty(kSeat0Path, kSeat, "ActiveSession", "cannot ask logind for seat0");
    const char* id = nullptr;
    const char* path = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "v", "(so)", &id, &path) < 0) {
        return std::nullopt;
    }
    if (path == nullptr || std::strcmp(path, "/") == 0) return std::nullopt;
    return std::string(path);
}

std::optional<std::string> LogindLoginManager::stringProperty(const std::string& sessionPath,
                                                              const char* name) {
    auto reply = getProperty(sessionPath.c_str(), kSession, name,
                             "cannot ask logind about the active session");
    const char* value = nullptr;
    if (!reply || sd_bus_message_read(reply.get(), "v", "s", &value) < 0) return std::nullopt;
    return std::string(value);
}

std::optional<bool> LogindLoginManager::clamshellClosed() {
    auto reply =
        getProperty(kManagerPath, kManager, "LidClosed", "cannot ask logind for the lid state");
    int closed = 0;
    if (!reply || sd_bus_message_read(reply.get(), "v", "b", &closed) < 0) return std::nullopt;
    return closed != 0;
}

sd::MessagePtr LogindLoginManager::getProperty(const char* path, const char* interface,
                                               const char* property, const char* failure) {
    if (bus_ == nullptr) return nullptr;
    sd_bus_message* raw = nullptr;
    if (queryBus() == nullptr ||
        sd_bus_message_new_method_call(queryBus(), &raw, kLogind, path,
                                       "org.freedesktop.DBus.Properties", "Get") < 0) {
        return nullptr;
    }
    sd::MessagePtr request(raw);
    if (sd_bus_message_append(raw, "ss", interface, property) < 0) return nullptr;
    return call(std::move(request), failure);
}

sd::MessagePtr LogindLoginManager::call(sd::MessagePtr request, const char* failure) {
    sd_bus* queries = queryBus();
    if (queries == nullptr) return nullptr;
    sd::BusError error;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call(queries, request.get(), kCallTimeoutUsec, error.get(), &reply);
    if (r < 0) {
        logOnce(failure, *error.message() != '\0' ? error.message() : std::strerror(-r));
        // A connection the bus daemon dropped is opened afresh for the next question.
        if (sd_bus_is_open(queries) <= 0) queryBus_.reset();
        return nullptr;
    }
    return sd::MessagePtr(reply);
}

// The questions travel on a connection of their own, to the same bus. Waiting for an answer
// on the main connection would read, and keep in memory, everything queued on it before the
// answer: under a flood of commands that is the whole backlog, and the answer comes last.
// Nothing but these answers ever arrives on this one.
sd_bus* LogindLoginManager::queryBus() {
    if (queryBus_ || bus_ == nullptr) return queryBus_.get();
    const char* address = nullptr;
    int r = sd_bus_get_address(bus_, &address);
    sd_bus* raw = nullptr;
    if (r >= 0) r = sd_bus_new(&raw);
    sd::BusPtr queries(raw);
    if (r >= 0) r = sd_bus_set_address(raw, address);
    if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
    if (r >= 0) r = sd_bus_start(raw);
    if (r < 0) {
        logOnce("cannot connect to the system bus for logind's answers", std::strerror(-r));
        return nullptr;
    }
    queryBus_ = std::move(queries);
    return queryBus_.get();
}

void LogindLoginManager::setSleepHandlers(std::function<void()> willSleep,
                                          std::function<void()> didWake) {
    willSleep_ = std::move(willSleep);
    didWake_ = std::move(didWake);
    watchSleep();
    takeInhibitor();
}

void LogindLoginManager::watchSleep() {
    if (bus_ == nullptr || sleepSlot_) return;
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_match_signal(bus_, &slot, kLogind, kManagerPath, kManager,
                                      "PrepareForSleep", onPrepareForSleep, this);
    if (r < 0) {
        logOnce("cannot watch for sleep", std::strerror(-r));
        return;
    }
    sleepSlot_.reset(slot);
}

void LogindLoginManager::sleepWorkDone() { inhibitor_.reset(); }

int LogindLoginManager::onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LogindLoginManager*>(userdata);
    return CallbackGuard::run(message, "the sleep handler", [self, message] {
        int sleeping = 0;
        if (sd_bus_message_read(message, "b", &sleeping) < 0) return;
        if (sleeping) {
            if (self->willSleep_) self->willSleep_();
        } else {
            self->takeInhibitor();
            if (self->didWake_) self->didWake_();
        }
    });
}

// The delay lock lasts as long as we keep the descriptor logind hands us.
void LogindLoginManager::takeInhibitor() {
    if (bus_ == nullptr || !delaySleep_ || inhibitor_.valid()) return;
    sd_bus_message* raw = nullptr;
    if (queryBus() == nullptr ||
        sd_bus_message_new_method_call(queryBus(), &raw, kLogind, kManagerPath, kManager,
                                       "Inhibit") < 0) {
        return;
    }
    sd::MessagePtr request(raw);
    if (sd_bus_message_append(raw, "ssss", "sleep", "Ampwarden",
                              "restore charging state before sleep", "delay") < 0) {
        return;
    }
    auto reply = call(std::move(request), "cannot take a sleep inhibitor from logind");
    int fd = -1;
    if (!reply || sd_bus_message_read(reply.get(), "h", &fd) < 0) return;
    // The reply owns its descriptor; keep a copy of our own.
    inhibitor_.reset(fcntl(fd, F_DUPFD_CLOEXEC, 3));
}

void LogindLoginManager::logOnce(const std::string& failure, const std::string& detail) {
    if (!logged_.insert(failure).second) return;
    log_.systemLog("Ampwarden: " + failure + ": " + detail);
}

}  // namespace ampwarden
