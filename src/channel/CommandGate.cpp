#include "channel/CommandGate.h"

#include <utility>

namespace ampwarden {

namespace {

CommandAction actionOf(CommandAccess access) {
    return access == CommandAccess::Uninstall ? CommandAction::Uninstall : CommandAction::Control;
}

std::string who(const std::string& sender, const SenderCredentials& credentials) {
    const std::string name = sender.empty() ? "an unknown sender" : sender;
    if (!credentials.known) return name + " (uid unknown, pid unknown)";
    return name + " (uid " + std::to_string(credentials.uid) + ", pid " +
           std::to_string(credentials.pid) + ")";
}

// How many connections a drop line names before it only counts them.
constexpr std::size_t kNamedSenders = 3;

}  // namespace

CommandGate::CommandGate(RunLoop& loop, CommandAuthority& authority, Diagnostics& log)
    : CommandGate(loop, authority, log, Limits()) {}

CommandGate::CommandGate(RunLoop& loop, CommandAuthority& authority, Diagnostics& log,
                         Limits limits)
    : loop_(loop), authority_(authority), log_(log), limits_(limits), authorizer_(loop, authority) {
    refreshConsole();
}

CommandGate::~CommandGate() = default;

void CommandGate::submit(const std::string& name, const std::string& sender, CommandAccess access,
                         std::function<void()> run) {
    Sender& s = senders_[sender];
    ++s.arrivals;
    if (access == CommandAccess::ReadOnly && s.entries.empty() && share(name, run)) {
        idle(sender, s);
        return;
    }
    Entry entry{++seq_, name, access, std::move(run), std::nullopt};
    if (admit(sender, s, entry)) enqueue(sender, s, std::move(entry));
    if (s.entries.empty()) idle(sender, s);
    pump();
}

// A query that nothing of its connection is ahead of joins an identical one waiting for its
// answer, or, when more has arrived than has been read, waits a moment for the ones that
// follow. Its answer then carries values read when it is given.
bool CommandGate::share(const std::string& name, std::function<void()>& run) {
    if (sharing_.count(name) == 0 && (!backlog_ || !backlog_())) return false;
    auto [found, first] = sharing_.try_emplace(name, std::move(run));
    if (!first) return true;
    std::weak_ptr<bool> alive = alive_;
    loop_.after(limits_.shareAnswerSeconds, [this, alive, name] {
        if (alive.expired()) return;
        auto waiting = sharing_.find(name);
        if (waiting == sharing_.end()) return;
        std::function<void()> answer = std::move(waiting->second);
        sharing_.erase(waiting);
        answer();
    });
    return true;
}

// Takes the decision that stands for the command as it arrives; false when it is dropped.
bool CommandGate::admit(const std::string& sender, Sender& s, Entry& entry) {
    if (entry.access != CommandAccess::ReadOnly && s.credentials) {
        if (Decision* decision = standing(sender, s, entry.access)) {
            entry.decision = decision->result;
            entry.reused = true;
            if (!entry.decision->allowed() && userWide(s)) {
                ++decision->quietRefusals;
                return false;
            }
        }
    }
    const std::optional<std::uint32_t> uid = uidOf(s);
    const bool full = s.entries.size() >= limits_.queuePerSender ||
                      (uid && !exempt(*uid) && users_[*uid].waiting >= limits_.queuePerUser) ||
                      (!s.credentials && unidentifiedWaiting_ >= limits_.unidentifiedTotal &&
                       !makeRoom(sender, s.entries.size()));
    if (full) drop(dropKey(sender, s), sender, entry.name);
    return !full;
}

void CommandGate::enqueue(const std::string& sender, Sender& s, Entry entry) {
    const bool control = entry.access != CommandAccess::ReadOnly;
    if (!s.credentials) unidentified_.erase({s.entries.size(), sender});
    s.entries.push_back(std::move(entry));
    ++queued_;
    if (const auto uid = uidOf(s)) {
        ++users_[*uid].waiting;
    } else if (!s.credentials) {
        ++unidentifiedWaiting_;
        unidentified_.insert({s.entries.size(), sender});
    }
    if (control && !s.credentials) ask(sender, s);
    advance(sender);
}

// The newest command of the connection with the most waiting gives way, when that is more than
// the newcomer would have: a connection with few commands always finds room.
bool CommandGate::makeRoom(const std::string& newcomer, std::size_t newcomerWaiting) {
    if (unidentified_.empty()) return false;
    const auto [most, victim] = *unidentified_.rbegin();
    if (victim == newcomer || most <= newcomerWaiting + 1) return false;
    Sender& s = senders_.at(victim);
    drop(dropKey(victim, s), victim, s.entries.back().name);
    release(victim, s, true);
    return true;
}

void CommandGate::ask(const std::string& sender, Sender& s) {
    if (s.asking) return;
    s.asking = true;
    std::weak_ptr<bool> alive = alive_;
    authority_.credentials(sender, [this, alive, sender](const SenderCredentials& credentials) {
        if (!alive.expired()) onIdentified(sender, credentials);
    });
}

void CommandGate::onIdentified(const std::string& sender, const SenderCredentials& credentials) {
    auto found = senders_.find(sender);
    if (found == senders_.end() || !found->second.asking) return;
    Sender& s = found->second;
    s.asking = false;
    unidentified_.erase({s.entries.size(), sender});
    unidentifiedWaiting_ -= s.entries.size();
    s.credentials = credentials;
    if (credentials.known) {
        if (credentials.uid != 0) refreshConsole();
        users_[credentials.uid].waiting += s.entries.size();
        const bool bounded = !exempt(credentials.uid);
        while (bounded && users_[credentials.uid].waiting > limits_.queuePerUser &&
               s.entries.size() > (s.ready ? 1u : 0u)) {
            drop(dropKey(sender, s), sender, s.entries.back().name);
            release(sender, s, true);
        }
    }
    advance(sender);
    pump();
}

// Asked again once the last answer is a few seconds old, on the next command that needs it.
void CommandGate::refreshConsole() {
    if (consoleFresh_ || consoleAsking_) return;
    consoleAsking_ = true;
    std::weak_ptr<bool> alive = alive_;
    authority_.consoleUser([this, alive](std::optional<std::uint32_t> uid) {
        if (alive.expired()) return;
        console_ = uid;
        consoleAsking_ = false;
        consoleFresh_ = true;
        loop_.after(limits_.reuseSeconds, [this, alive] {
            if (!alive.expired()) consoleFresh_ = false;
        });
    });
}

// Makes the connection's first command ready, or starts what it waits for.
void CommandGate::advance(const std::string& sender) {
    Sender& s = senders_.at(sender);
    if (s.ready || s.checking || s.waitingCheck || s.entries.empty()) return;
    Entry& head = s.entries.front();
    if (head.access != CommandAccess::ReadOnly && !head.decision) {
        if (!s.credentials) return;
        if (Decision* decision = standing(sender, s, head.access)) {
            head.decision = decision->result;
            head.reused = true;
        } else {
            return startCheck(sender, s);
        }
    }
    s.ready = true;
    ready_.insert({head.seq, sender});
}

void CommandGate::startCheck(const std::string& sender, Sender& s) {
    const SenderCredentials credentials = *s.credentials;
    if (credentials.known && credentials.uid != 0) {
        User& user = users_[credentials.uid];
        if (user.checking) {
            s.waitingCheck = true;
            user.waitingForCheck.push_back(sender);
            return;
        }
        user.checking = true;
    }
    s.checking = true;
    const Entry& head = s.entries.front();
    const bool interactive = head.access == CommandAccess::Uninstall;
    const double bound = interactive ? limits_.uninstallCheckSeconds : limits_.controlCheckSeconds;
    std::weak_ptr<bool> alive = alive_;
    authorizer_.decide(sender, credentials, actionOf(head.access), interactive, bound,
                       [this, alive, sender, seq = head.seq](const AuthorizationResult& result) {
                           if (!alive.expired()) onDecided(sender, seq, result);
                       });
}

void CommandGate::onDecided(const std::string& sender, std::uint64_t seq,
                            const AuthorizationResult& result) {
    auto found = senders_.find(sender);
    if (found == senders_.end() || !found->second.checking) return;
    Sender& s = found->second;
    s.checking = false;
    std::deque<std::string> waiters;
    if (const auto uid = uidOf(s); uid && *uid != 0) {
        users_[*uid].checking = false;
        waiters.swap(users_[*uid].waitingForCheck);
    }
    if (!s.entries.empty() && s.entries.front().seq == seq) {
        s.entries.front().decision = result;
        remember(sender, s, s.entries.front().access, result);
    }
    advance(sender);
    for (const std::string& waiter : waiters) {
        auto other = senders_.find(waiter);
        if (other == senders_.end()) continue;
        other->second.waitingCheck = false;
        advance(waiter);
    }
    pump();
}

// Re-entrant calls (a check that answers at once, a command that queues another) only mark
// work; the outermost call does it, so commands never overtake each other.
void CommandGate::pump() {
    if (pumping_) return;
    pumping_ = true;
    while (!ready_.empty()) {
        const std::string sender = ready_.begin()->second;
        ready_.erase(ready_.begin());
        Sender& s = senders_.at(sender);
        s.ready = false;
        Entry entry = std::move(s.entries.front());
        release(sender, s, false);
        carryOut(sender, entry);
        advance(sender);
        if (s.entries.empty()) idle(sender, s);
    }
    pumping_ = false;
}

// Takes the first (or, with `newest`, the last) command off the connection's list.
void CommandGate::release(const std::string& sender, Sender& s, bool newest) {
    if (!s.credentials) unidentified_.erase({s.entries.size(), sender});
    if (newest) {
        s.entries.pop_back();
    } else {
        s.entries.pop_front();
    }
    --queued_;
    if (const auto uid = uidOf(s)) {
        --users_[*uid].waiting;
    } else if (!s.credentials) {
        --unidentifiedWaiting_;
        if (!s.entries.empty()) unidentified_.insert({s.entries.size(), sender});
    }
}

// A connection is forgotten once it has sent nothing for as long as a decision stands.
void CommandGate::idle(const std::string& sender, Sender& s) {
    if (s.forgetting) return;
    s.forgetting = true;
    std::weak_ptr<bool> alive = alive_;
    loop_.after(limits_.reuseSeconds, [this, alive, sender, arrivals = s.arrivals] {
        if (!alive.expired()) forgetSender(sender, arrivals);
    });
}

void CommandGate::forgetSender(const std::string& sender, std::uint64_t arrivals) {
    auto found = senders_.find(sender);
    if (found == senders_.end()) return;
    Sender& s = found->second;
    s.forgetting = false;
    const bool busy = !s.entries.empty() || s.asking || s.checking;
    if (busy) return;
    if (s.arrivals != arrivals) return idle(sender, s);
    senders_.erase(found);
}

std::optional<std::uint32_t> CommandGate::uidOf(const Sender& s) const {
    if (!s.credentials || !s.credentials->known) return std::nullopt;
    return s.credentials->uid;
}

bool CommandGate::exempt(std::uint32_t uid) const { return uid == 0 || console_ == uid; }

// A refusal of a stranger holds for all of the stranger's connections.
bool CommandGate::userWide(const Sender& s) const {
    const auto uid = uidOf(s);
    return uid && !exempt(*uid);
}

CommandGate::Decision* CommandGate::standing(const std::string& sender, const Sender& s,
                                             CommandAccess access) {
    auto mine = senderDecisions_.find({sender, access});
    if (mine != senderDecisions_.end()) return &mine->second;
    if (!userWide(s)) return nullptr;
    auto theirs = userDecisions_.find({*uidOf(s), access});
    return theirs == userDecisions_.end() ? nullptr : &theirs->second;
}

// Unique names are never handed out twice, so an allowance cannot pass to another process.
void CommandGate::remember(const std::string& sender, const Sender& s, CommandAccess access,
                           const AuthorizationResult& result) {
    if (limits_.reuseSeconds <= 0 || sender.empty()) return;
    const std::uint64_t id = ++decisionId_;
    std::weak_ptr<bool> alive = alive_;
    if (!result.allowed() && userWide(s)) {
        const UserKey key{*uidOf(s), access};
        userDecisions_[key] = {result, id, 0};
        loop_.after(limits_.reuseSeconds, [this, alive, key, id] {
            if (!alive.expired()) {
                forget(userDecisions_, key, id, "uid " + std::to_string(key.first));
            }
        });
        return;
    }
    const SenderKey key{sender, access};
    senderDecisions_[key] = {result, id, 0};
    loop_.after(limits_.reuseSeconds, [this, alive, key, id] {
        if (alive.expired()) return;
        auto found = senderDecisions_.find(key);
        if (found == senderDecisions_.end()) return;
        forget(senderDecisions_, key, id, who(key.first, found->second.result.credentials));
    });
}

template <typename Key>
void CommandGate::forget(std::map<Key, Decision>& decisions, const Key& key, std::uint64_t id,
                         const std::string& whom) {
    auto found = decisions.find(key);
    if (found == decisions.end() || found->second.id != id) return;
    const Decision decision = std::move(found->second);
    decisions.erase(found);
    if (decision.quietRefusals == 0) return;
    logRefusal(std::to_string(decision.quietRefusals) + " more commands", whom, decision.result);
}

void CommandGate::carryOut(const std::string& sender, Entry& entry) {
    if (entry.access == CommandAccess::ReadOnly || entry.decision->allowed()) {
        entry.run();
        return;
    }
    auto found = senders_.find(sender);
    Decision* decision =
        found == senders_.end() ? nullptr : standing(sender, found->second, entry.access);
    if (entry.reused && decision != nullptr) {
        ++decision->quietRefusals;
        return;
    }
    logRefusal(entry.name, who(sender, entry.decision->credentials), *entry.decision);
}

void CommandGate::logRefusal(const std::string& what, const std::string& whom,
                             const AuthorizationResult& result) {
    log_.systemLog("Ampwarden: refused " + what + " from " + whom + ": " +
                   (result.reason.empty() ? "not authorised" : result.reason));
}

// Drops are told per uid where the bus has said which; else per connection.
std::string CommandGate::dropKey(const std::string& sender, const Sender& s) const {
    if (const auto uid = uidOf(s)) return "uid " + std::to_string(*uid);
    return (sender.empty() ? std::string("an unknown sender") : sender) + " (uid not known)";
}

void CommandGate::drop(const std::string& key, const std::string& sender, const std::string& name) {
    auto [found, first] = drops_.try_emplace(key);
    ++found->second.count;
    ++found->second.names[name];
    found->second.senders.insert(sender);
    if (first) reportDrops(key);
}

// The first drop is reported at once; the ones that follow within the minute in one line at
// its end. A uid or connection that stopped flooding is forgotten.
void CommandGate::reportDrops(const std::string& key) {
    auto found = drops_.find(key);
    if (found == drops_.end()) return;
    DropReport& report = found->second;
    if (report.count == 0) {
        drops_.erase(found);
        return;
    }
    std::string what;
    for (const auto& [name, count] : report.names) {
        what += (what.empty() ? "" : ", ") + name + " x" + std::to_string(count);
    }
    std::string from;
    if (key.rfind("uid ", 0) == 0) {
        std::size_t named = 0;
        for (const std::string& sender : report.senders) {
            if (named++ == kNamedSenders) break;
            from += (from.empty() ? " (" : ", ") + sender;
        }
        if (report.senders.size() > kNamedSenders) {
            from += " and " + std::to_string(report.senders.size() - kNamedSenders) + " more";
        }
        from += ")";
    }
    log_.systemLog("Ampwarden: too many commands waiting from " + key + from + "; dropped " + what);
    report = DropReport();
    std::weak_ptr<bool> alive = alive_;
    loop_.after(limits_.dropReportSeconds, [this, alive, key] {
        if (!alive.expired()) reportDrops(key);
    });
}

}  // namespace ampwarden
