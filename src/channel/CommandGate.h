#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "channel/CommandAuthorizer.h"
#include "platform/CommandAuthority.h"
#include "platform/Diagnostics.h"
#include "platform/RunLoop.h"
#include "protocol/CommandProtocol.h"

namespace ampwarden {

// What a command needs before it is carried out, as the protocol table gives it.
using CommandAccess = protocol::Access;

// Every command passes here between the channel and its handler, fair per user rather than
// per connection, so that a stranger with many connections cannot crowd out the person at the
// machine:
// - Read-only commands need nothing. The others are carried out once their sender is
//   authorised and dropped with a journal line when it is not.
// - Who sent a command (the uid and pid behind its connection) is asked of the bus as it
//   arrives, while the sender is surely still connected. A connection's uid never changes, so
//   the answer serves its later commands while it keeps sending.
// - One connection's commands keep their order; those of different connections run in the
//   order they arrive, but a check in progress holds up only its own connection. Each uid has
//   one check at a time.
// - A decision is reused for a few seconds from when it is taken, and a command takes the one
//   that stands when it arrives: an allowance for the same connection; a refusal for every
//   connection of the same uid, whose commands are then dropped as they arrive.
// - What waits is bounded per connection and, once its uid is known, per uid. Commands whose
//   uid the bus has not told yet share one space; when it is full, the newest command of the
//   connection with the most waiting there gives way.
// - Root and the user of seat0's active session (as the authority says) always find room:
//   they are not bounded per uid, and a refusal of one of their connections stays with it.
// - Refusals under a standing decision and drops make one journal line per uid.
// - Read-only queries cost nothing to repeat: their answers go to everyone, so while a flood
//   is waiting to be read, identical queries share one answer a moment later, read then.
// Runs on the main loop.
class CommandGate {
  public:
    struct Limits {
        double controlCheckSeconds = 10;
        // Long enough for the user to answer a password prompt.
        double uninstallCheckSeconds = 90;
        double reuseSeconds = 5;
        std::size_t queuePerSender = 32;
        std::size_t queuePerUser = 64;
        std::size_t unidentifiedTotal = 4096;
        double dropReportSeconds = 60;
        // How long identical read-only queries that arrive in a flood wait to share one answer.
        double shareAnswerSeconds = 0.1;
    };

    CommandGate(RunLoop& loop, CommandAuthority& authority, Diagnostics& log);
    CommandGate(RunLoop& loop, CommandAuthority& authority, Diagnostics& log, Limits limits);
    ~CommandGate();
    CommandGate(const CommandGate&) = delete;
    CommandGate& operator=(const CommandGate&) = delete;

    // Queues one command; `run` carries it out once it may be. Runs it at once when nothing
    // of its connection is ahead of it and no check is needed or the answer is already known.
    void submit(const std::string& name, const std::string& sender, CommandAccess access,
                std::function<void()> run);

    // Says whether more commands have arrived than have been read; while they have, identical
    // read-only queries share one answer. Without it every query has its own.
    void watchBacklog(std::function<bool()> backlog) { backlog_ = std::move(backlog); }

    std::size_t queued() const { return queued_; }
    CommandAuthorizer& authorizer() { return authorizer_; }
    const Limits& limits() const { return limits_; }

  private:
    struct Entry {
        std::uint64_t seq = 0;
        std::string name;
        CommandAccess access = CommandAccess::ReadOnly;
        std::function<void()> run;
        std::optional<AuthorizationResult> decision;
        bool reused = false;  // the decision was taken for an earlier command
    };
    struct Sender {
        std::deque<Entry> entries;
        std::optional<SenderCredentials> credentials;  // once the bus has said
        bool asking = false;
        bool ready = false;         // its head is in ready_
        bool checking = false;      // its head is being checked
        bool waitingCheck = false;  // its head waits for its uid's check to end
        bool forgetting = false;    // a timer forgets it once it has been idle long enough
        std::uint64_t arrivals = 0;
    };
    struct User {
        std::size_t waiting = 0;
        bool checking = false;
        std::deque<std::string> waitingForCheck;
    };
    struct Decision {
        AuthorizationResult result;
        std::uint64_t id = 0;
        std::size_t quietRefusals = 0;  // refused under it without a line of their own
    };
    struct DropReport {
        std::size_t count = 0;
        std::map<std::string, std::size_t> names;
        std::set<std::string> senders;
    };
    using SenderKey = std::pair<std::string, CommandAccess>;
    using UserKey = std::pair<std::uint32_t, CommandAccess>;

    bool share(const std::string& name, std::function<void()>& run);
    bool admit(const std::string& sender, Sender& s, Entry& entry);
    void enqueue(const std::string& sender, Sender& s, Entry entry);
    bool makeRoom(const std::string& newcomer, std::size_t newcomerWaiting);
    void ask(const std::string& sender, Sender& s);
    void onIdentified(const std::string& sender, const SenderCredentials& credentials);
    void refreshConsole();
    void advance(const std::string& sender);
    void startCheck(const std::string& sender, Sender& s);
    void onDecided(const std::string& sender, std::uint64_t seq, const AuthorizationResult& result);
    void pump();
    void release(const std::string& sender, Sender& s, bool newest);
    void idle(const std::string& sender, Sender& s);
    void forgetSender(const std::string& sender, std::uint64_t arrivals);

    std::optional<std::uint32_t> uidOf(const Sender& s) const;
    bool exempt(std::uint32_t uid) const;
    bool userWide(const Sender& s) const;
    Decision* standing(const std::string& sender, const Sender& s, CommandAccess access);
    void remember(const std::string& sender, const Sender& s, CommandAccess access,
                  const AuthorizationResult& result);
    template <typename Key>
    void forget(std::map<Key, Decision>& decisions, const Key& key, std::uint64_t id,
                const std::string& who);
    void carryOut(const std::string& sender, Entry& entry);
    void logRefusal(const std::string& what, const std::string& who,
                    const AuthorizationResult& result);
    std::string dropKey(const std::string& sender, const Sender& s) const;
    void drop(const std::string& key, const std::string& sender, const std::string& name);
    void reportDrops(const std::string& key);

    RunLoop& loop_;
    CommandAuthority& authority_;
    Diagnostics& log_;
    Limits limits_;
    CommandAuthorizer authorizer_;
    std::map<std::string, Sender> senders_;
    std::map<std::uint32_t, User> users_;
    // Heads that may run now, by arrival.
    std::set<std::pair<std::uint64_t, std::string>> ready_;
    // Connections whose uid is not known yet, by how many commands they have waiting.
    std::set<std::pair<std::size_t, std::string>> unidentified_;
    std::size_t unidentifiedWaiting_ = 0;
    std::size_t queued_ = 0;
    std::map<SenderKey, Decision> senderDecisions_;
    std::map<UserKey, Decision> userDecisions_;
    std::map<std::string, DropReport> drops_;
    std::function<bool()> backlog_;
    // Read-only queries waiting for the one answer they share, by name.
    std::map<std::string, std::function<void()>> sharing_;
    std::optional<std::uint32_t> console_;
    bool consoleFresh_ = false;
    bool consoleAsking_ = false;
    bool pumping_ = false;
    std::uint64_t seq_ = 0;
    std::uint64_t decisionId_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ampwarden
