#include "platform/linux/BusCommandAuthority.h"

#include <cstring>
#include <utility>

namespace ampwarden {

namespace {

constexpr const char* kBus = "org.freedesktop.DBus";
constexpr const char* kPolkit = "org.freedesktop.PolicyKit1";
constexpr const char* kPolkitPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kPolkitAuthority = "org.freedesktop.PolicyKit1.Authority";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kSeat0Path = "/org/freedesktop/login1/seat/seat0";
constexpr std::uint32_t kAllowUserInteraction = 1;

// The bus daemon and logind answer at once; polkit may first have to be started. With user
// interaction it waits for the user to type a password.
constexpr std::uint64_t kBusTimeoutUsec = 5000000;
constexpr std::uint64_t kPolkitTimeoutUsec = 15000000;
constexpr std::uint64_t kInteractiveTimeoutUsec = 120000000;

// Polkit is neither running nor activatable: the bus says so at once.
bool polkitAbsent(const AsyncBusCalls::Reply& reply) {
    return reply.errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           reply.errorName == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

AuthorityVerdict undecided(const std::string& who, const AsyncBusCalls::Reply& reply) {
    return {false, false, "cannot ask " + who + ": " + reply.failure()};
}

}  // namespace

BusCommandAuthority::BusCommandAuthority(sd_bus* bus) : calls_(bus) {}

void BusCommandAuthority::credentials(const std::string& sender, CredentialsCallback done) {
    auto request = calls_.newCall(kBus, "/org/freedesktop/DBus", kBus, "GetConnectionCredentials");
    if (request && sd_bus_message_append(request.get(), "s", sender.c_str()) < 0) request.reset();
    calls_.call(std::move(request), kBusTimeoutUsec,
                [done = std::move(done)](const AsyncBusCalls::Reply& reply) {
                    if (reply.ok()) return done(readCredentials(reply.message));
                    SenderCredentials unknown;
                    unknown.gone = reply.errorName == "org.freedesktop.DBus.Error.NameHasNoOwner";
                    unknown.failure =
                        unknown.gone ? "the sender has left the bus"
                                     : "cannot ask the bus who the sender is: " + reply.failure();
                    done(unknown);
                });
}

SenderCredentials BusCommandAuthority::readCredentials(sd_bus_message* reply) {
    SenderCredentials result;
    bool haveUid = false;
    int r = sd_bus_message_enter_container(reply, 'a', "{sv}");
    while (r > 0 && (r = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char* key = nullptr;
        const char* contents = nullptr;
        if (sd_bus_message_read(reply, "s", &key) < 0 ||
            sd_bus_message_peek_type(reply, nullptr, &contents) < 0 || contents == nullptr) {
            r = -1;
            break;
        }
        const bool wanted =
            std::strcmp(contents, "u") == 0 &&
            (std::strcmp(key, "UnixUserID") == 0 || std::strcmp(key, "ProcessID") == 0);
        if (wanted) {
            std::uint32_t value = 0;
            r = sd_bus_message_read(reply, "v", "u", &value);
            if (std::strcmp(key, "UnixUserID") == 0) {
                result.uid = value;
                haveUid = r >= 0;
            } else {
                result.pid = value;
            }
        } else {
            r = sd_bus_message_skip(reply, "v");
        }
        if (r >= 0) r = sd_bus_message_exit_container(reply);
    }
    result.known = r >= 0 && haveUid;
    if (!result.known) result.failure = "the bus did not say who the sender is";
    return result;
}

void BusCommandAuthority::check(const std::string& sender, const SenderCredentials& credentials,
                                CommandAction action, bool interactive, VerdictCallback done) {
    auto request = calls_.newCall(kPolkit, kPolkitPath, kPolkitAuthority, "CheckAuthorization");
    const char* actionId = action == CommandAction::Uninstall ? kUninstallAction : kControlAction;
    if (request && sd_bus_message_append(request.get(), "(sa{sv})sa{ss}us", "system-bus-name", 1,
                                         "name", "s", sender.c_str(), actionId, 0,
                                         interactive ? kAllowUserInteraction : 0, "") < 0) {
        request.reset();
    }
    const std::uint32_t uid = credentials.uid;
    calls_.call(std::move(request), interactive ? kInteractiveTimeoutUsec : kPolkitTimeoutUsec,
                [this, uid, action, interactive,
                 done = std::move(done)](const AsyncBusCalls::Reply& reply) mutable {
                    if (reply.ok()) return done(readPolkitVerdict(reply.message, interactive));
                    if (polkitAbsent(reply))
                        return checkWithoutPolkit(uid, action, std::move(done));
                    done(undecided("polkit", reply));
                });
}

AuthorityVerdict BusCommandAuthority::readPolkitVerdict(sd_bus_message* reply, bool interactive) {
    int authorized = 0;
    int challenge = 0;
    if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") <= 0 ||
        sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
        return {false, false, "a malformed answer from polkit"};
    }
    if (authorized) return {true, true, "allowed by polkit"};
    if (challenge && !interactive) return {true, false, "polkit wants the user to authenticate"};
    return {true, false, "not authorised by polkit"};
}

// Without polkit: the user at the machine is the one whose session is active on seat0.
void BusCommandAuthority::checkWithoutPolkit(std::uint32_t uid, CommandAction action,
                                             VerdictCallback done) {
    if (action == CommandAction::Uninstall) {
        return done({true, false, "without polkit only root may uninstall"});
    }
    activeSessionUser([uid, done = std::move(done)](const SeatAnswer& seat) {
        if (!seat.failure.empty()) return done({false, false, seat.failure});
        if (!seat.uid) return done({true, false, "no polkit, and no session is active on seat0"});
        if (*seat.uid == uid) return done({true, true, "the user of seat0's active session"});
        done({true, false, "no polkit, and not the user of seat0's active session"});
    });
}

void BusCommandAuthority::consoleUser(ConsoleCallback done) {
    activeSessionUser([done = std::move(done)](const SeatAnswer& seat) { done(seat.uid); });
}

void BusCommandAuthority::activeSessionUser(SeatCallback done) {
    calls_.call(propertyCall(kSeat0Path, "org.freedesktop.login1.Seat", "ActiveSession"),
                kBusTimeoutUsec,
                [this, done = std::move(done)](const AsyncBusCalls::Reply& reply) mutable {
                    if (!reply.ok()) return done({std::nullopt, undecided("logind", reply).reason});
                    const char* id = nullptr;
                    const char* path = nullptr;
                    if (sd_bus_message_read(reply.message, "v", "(so)", &id, &path) < 0 ||
                        path == nullptr) {
                        return done({std::nullopt, "a malformed answer from logind"});
                    }
                    if (std::strcmp(path, "/") == 0) return done({});
                    sessionUser(path, std::move(done));
                });
}

void BusCommandAuthority::sessionUser(const std::string& sessionPath, SeatCallback done) {
    calls_.call(propertyCall(sessionPath.c_str(), "org.freedesktop.login1.Session", "User"),
                kBusTimeoutUsec, [done = std::move(done)](const AsyncBusCalls::Reply& reply) {
                    if (!reply.ok()) return done({std::nullopt, undecided("logind", reply).reason});
                    std::uint32_t owner = 0;
                    const char* userPath = nullptr;
                    if (sd_bus_message_read(reply.message, "v", "(uo)", &owner, &userPath) < 0) {
                        return done({std::nullopt, "a malformed answer from logind"});
                    }
                    done({owner, ""});
                });
}

sd::MessagePtr BusCommandAuthority::propertyCall(const char* path, const char* interface,
                                                 const char* property) {
    auto request = calls_.newCall(kLogind, path, "org.freedesktop.DBus.Properties", "Get");
    if (request && sd_bus_message_append(request.get(), "ss", interface, property) < 0) {
        return nullptr;
    }
    return request;
}

}  // namespace ampwarden
