#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/CommandAuthority.h"
#include "platform/RunLoop.h"

namespace ampwarden {

// The result of asking whether a sender may do something.
struct AuthorizationResult {
    enum class Outcome { Allowed, Denied, Unknown };
    Outcome outcome = Outcome::Unknown;
    SenderCredentials credentials;
    std::string reason;

    bool allowed() const { return outcome == Outcome::Allowed; }
};

// The one rule for who may command the helper: root always; anyone else as the platform's
// authority decides. A sender that has left the bus is denied; an authority that does not
// answer within the bound, or fails, leaves the outcome Unknown. Runs on the main loop.
class CommandAuthorizer {
  public:
    using Done = std::function<void(const AuthorizationResult&)>;

    CommandAuthorizer(RunLoop& loop, CommandAuthority& authority);
    ~CommandAuthorizer();
    CommandAuthorizer(const CommandAuthorizer&) = delete;
    CommandAuthorizer& operator=(const CommandAuthorizer&) = delete;

    // Answers exactly once, possibly before it returns, at the latest `boundSeconds` from
    // now; never once the authorizer is gone.
    void authorize(const std::string& sender, CommandAction action, bool interactive,
                   double boundSeconds, Done done);
    // The same for a sender whose credentials are already known.
    void decide(const std::string& sender, const SenderCredentials& credentials,
                CommandAction action, bool interactive, double boundSeconds, Done done);

  private:
    struct Pending;

    std::shared_ptr<Pending> start(const std::string& sender, CommandAction action,
                                   bool interactive, double boundSeconds, Done done);
    void onCredentials(const std::shared_ptr<Pending>& pending,
                       const SenderCredentials& credentials);
    static void finish(Pending& pending, AuthorizationResult result);

    RunLoop& loop_;
    CommandAuthority& authority_;
    // Expires with the authorizer, so late answers from the authority or the loop are dropped.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ampwarden
