#include "channel/CommandAuthorizer.h"

#include <cmath>
#include <utility>

namespace ampwarden {

struct CommandAuthorizer::Pending {
    std::string sender;
    CommandAction action = CommandAction::Control;
    bool interactive = false;
    Done done;
    bool finished = false;
    SenderCredentials credentials;  // once the bus has said, for the timeout's answer too
};

CommandAuthorizer::CommandAuthorizer(RunLoop& loop, CommandAuthority& authority)
    : loop_(loop), authority_(authority) {}

CommandAuthorizer::~CommandAuthorizer() = default;

void CommandAuthorizer::authorize(const std::string& sender, CommandAction action, bool interactive,
                                  double boundSeconds, Done done) {
    auto pending = start(sender, action, interactive, boundSeconds, std::move(done));
    std::weak_ptr<bool> alive = alive_;
    authority_.credentials(sender, [this, alive, pending](const SenderCredentials& credentials) {
        if (!alive.expired()) onCredentials(pending, credentials);
    });
}

// Root and unknown senders are answered at once, without a bound to watch: no timer is left
// to wake the idle helper after a burst of the main app's commands.
void CommandAuthorizer::decide(const std::string& sender, const SenderCredentials& credentials,
                               CommandAction action, bool interactive, double boundSeconds,
                               Done done) {
    if (!credentials.known || credentials.uid == 0) {
        auto pending = std::make_shared<Pending>();
        pending->done = std::move(done);
        onCredentials(pending, credentials);
        return;
    }
    onCredentials(start(sender, action, interactive, boundSeconds, std::move(done)), credentials);
}

std::shared_ptr<CommandAuthorizer::Pending> CommandAuthorizer::start(const std::string& sender,
                                                                     CommandAction action,
                                                                     bool interactive,
                                                                     double boundSeconds,
                                                                     Done done) {
    auto pending = std::make_shared<Pending>();
    pending->sender = sender;
    pending->action = action;
    pending->interactive = interactive;
    pending->done = std::move(done);
    std::weak_ptr<bool> alive = alive_;
    const std::string timeout =
        "no decision within " + std::to_string(std::lround(boundSeconds)) + " s";
    loop_.after(boundSeconds, [alive, pending, timeout] {
        if (!alive.expired()) {
            finish(*pending,
                   {AuthorizationResult::Outcome::Unknown, pending->credentials, timeout});
        }
    });
    return pending;
}

void CommandAuthorizer::onCredentials(const std::shared_ptr<Pending>& pending,
                                      const SenderCredentials& credentials) {
    using Outcome = AuthorizationResult::Outcome;
    if (pending->finished) return;
    pending->credentials = credentials;
    if (!credentials.known) {
        const Outcome outcome = credentials.gone ? Outcome::Denied : Outcome::Unknown;
        finish(*pending, {outcome, credentials, credentials.failure});
        return;
    }
    if (credentials.uid == 0) {
        finish(*pending, {Outcome::Allowed, credentials, "root"});
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    authority_.check(pending->sender, credentials, pending->action, pending->interactive,
                     [alive, pending, credentials](const AuthorityVerdict& verdict) {
                         if (alive.expired()) return;
                         const Outcome outcome =
                             !verdict.decided
                                 ? Outcome::Unknown
                                 : (verdict.allowed ? Outcome::Allowed : Outcome::Denied);
                         finish(*pending, {outcome, credentials, verdict.reason});
                     });
}

void CommandAuthorizer::finish(Pending& pending, AuthorizationResult result) {
    if (pending.finished) return;
    pending.finished = true;
    // Released first: the callback may start the next check.
    Done done = std::move(pending.done);
    done(result);
}

}  // namespace ampwarden
