#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fake/FakeRunLoop.h"
#include "platform/CommandAuthority.h"

namespace ampwarden::test {

// A scripted authority. An unscripted sender is root. A scripted one has its credentials and
// its verdict, given after `delay` virtual seconds (at once for 0, never for a negative
// delay). Every check asked for is recorded.
class FakeCommandAuthority : public CommandAuthority {
  public:
    struct Script {
        SenderCredentials credentials;
        AuthorityVerdict verdict;
        double delay = 0;
    };
    struct Check {
        CommandAction action;
        bool interactive;
    };

    explicit FakeCommandAuthority(FakeRunLoop& clock) : clock_(clock) {}

    // A user with `uid` whom the authority allows or denies.
    void user(const std::string& sender, std::uint32_t uid, bool allowed, double delay = 0) {
        scripts[sender] = {{true, false, uid, 4000 + uid, ""},
                           {true, allowed, allowed ? "allowed" : "not authorised by polkit"},
                           delay};
    }

    void credentials(const std::string& sender, CredentialsCallback done) override {
        ++credentialQuestions;
        if (left.count(sender) != 0)
            return done({false, true, 0, 0, "the sender has left the bus"});
        auto found = scripts.find(sender);
        const SenderCredentials credentials = found == scripts.end()
                                                  ? SenderCredentials{true, false, 0, 1, ""}
                                                  : found->second.credentials;
        if (credentialsDelay == 0) return done(credentials);
        clock_.after(credentialsDelay, [done, credentials] { done(credentials); });
    }
    void check(const std::string& sender, const SenderCredentials&, CommandAction action,
               bool interactive, VerdictCallback done) override {
        checks.push_back({action, interactive});
        const Script& script = scripts.at(sender);
        if (script.delay < 0) return;
        if (script.delay == 0) return done(script.verdict);
        clock_.after(script.delay, [done, verdict = script.verdict] { done(verdict); });
    }

    void consoleUser(ConsoleCallback done) override { done(console); }

    std::map<std::string, Script> scripts;
    std::optional<std::uint32_t> console;  // seat0's active user
    std::vector<Check> checks;
    std::set<std::string> left;  // senders that have left the bus
    int credentialQuestions = 0;
    double credentialsDelay = 0;  // how long the bus takes to say who a sender is

  private:
    FakeRunLoop& clock_;
};

}  // namespace ampwarden::test
