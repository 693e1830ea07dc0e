#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "channel/CommandAuthorizer.h"
#include "platform/CommandAuthority.h"
#include "platform/Diagnostics.h"
#include "platform/RunLoop.h"

namespace ampwarden {

// What a command needs before it is carried out.
enum class CommandAccess { ReadOnly, Control, Uninstall };

// Every command passes here between the channel and its handler. Commands are carried out in
// the order they arrived, whoever sent them. Read-only ones need nothing; the others wait
// until their sender is authorised (one check at a time, at the head of the queue, bounded in
// time) and are dropped with one journal line when it is not. A decision is reused for the
// same sender and action for a few seconds; the refusals it repeats make one line when it
// expires, so a flood cannot fill the journal. Each sender may have only so many commands
// waiting; beyond that they are dropped, and the journal says so once per sender per minute.
// Who the sender is gets asked at once on arrival: a sender that has gone by the time its
// command is checked can no longer be told apart from anyone else, and is refused.
// Runs on the main loop.
class CommandGate {
  public:
    struct Limits {
        double controlCheckSeconds = 10;
        // Long enough for the user to answer a password prompt.
        double uninstallCheckSeconds = 90;
        double reuseSeconds = 5;
        std::size_t queuePerSender = 32;
        std::size_t queueTotal = 256;
        double dropReportSeconds = 60;
    };

    CommandGate(RunLoop& loop, CommandAuthority& authority, Diagnostics& log);
    CommandGate(RunLoop& loop, CommandAuthority& authority, Diagnostics& log, Limits limits);
    ~CommandGate();
    CommandGate(const CommandGate&) = delete;
    CommandGate& operator=(const CommandGate&) = delete;

    // Queues one command; `run` carries it out once it may be. Runs it at once when nothing
    // is ahead of it and no check is needed or the answer is already known.
    void submit(const std::string& name, const std::string& sender, CommandAccess access,
                std::function<void()> run);

    std::size_t queued() const { return queue_.size(); }
    CommandAuthorizer& authorizer() { return authorizer_; }
    const Limits& limits() const { return limits_; }

  private:
    struct Entry {
        std::string name;
        std::string sender;
        CommandAccess access = CommandAccess::ReadOnly;
        std::function<void()> run;
        std::optional<AuthorizationResult> decision;
        bool reused = false;  // the decision was taken for an earlier command
    };
    struct Decision {
        AuthorizationResult result;
        std::uint64_t id = 0;
        std::size_t quietRefusals = 0;  // refused under it without a line of their own
    };
    struct DropReport {
        std::size_t count = 0;
        std::map<std::string, std::size_t> names;
    };
    using DecisionKey = std::pair<std::string, CommandAccess>;

    void pump();
    void fetchCredentials(const std::string& sender);
    void startCheck(const Entry& entry);
    void onDecided(std::uint64_t check, const AuthorizationResult& result);
    std::optional<AuthorizationResult> reusable(const Entry& entry) const;
    void remember(const Entry& entry, const AuthorizationResult& result);
    void forget(const DecisionKey& key, std::uint64_t id);
    void logRefusal(const Entry& entry, const std::string& what);
    void carryOut(Entry& entry);
    void drop(const std::string& sender, const std::string& name);
    void reportDrops(const std::string& sender);

    RunLoop& loop_;
    CommandAuthority& authority_;
    Diagnostics& log_;
    Limits limits_;
    CommandAuthorizer authorizer_;
    std::deque<Entry> queue_;
    std::map<std::string, std::size_t> waitingBySender_;
    // Asked for as soon as a command arrives, while its sender is surely still connected; none
    // while the bus has not answered yet.
    std::map<std::string, std::optional<SenderCredentials>> credentials_;
    std::map<DecisionKey, Decision> decisions_;
    std::map<std::string, DropReport> drops_;
    bool pumping_ = false;
    bool checking_ = false;
    std::uint64_t checkId_ = 0;
    std::uint64_t decisionId_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ampwarden
