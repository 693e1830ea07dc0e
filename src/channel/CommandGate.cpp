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

}  // namespace

CommandGate::CommandGate(RunLoop& loop, CommandAuthority& authority, Diagnostics& log)
    : CommandGate(loop, authority, log, Limits()) {}

CommandGate::CommandGate(RunLoop& loop, CommandAuthority& authority, Diagnostics& log,
                         Limits limits)
    : loop_(loop),
      authority_(authority),
      log_(log),
      limits_(limits),
      authorizer_(loop, authority) {}

CommandGate::~CommandGate() = default;

void CommandGate::submit(const std::string& name, const std::string& sender, CommandAccess access,
                         std::function<void()> run) {
    std::size_t& waiting = waitingBySender_[sender];
    if (waiting >= limits_.queuePerSender || queue_.size() >= limits_.queueTotal) {
        if (waiting == 0) waitingBySender_.erase(sender);
        drop(sender, name);
        return;
    }
    ++waiting;
    queue_.push_back({name, sender, access, std::move(run), std::nullopt});
    if (access != CommandAccess::ReadOnly && !reusable(queue_.back())) fetchCredentials(sender);
    pump();
}

void CommandGate::fetchCredentials(const std::string& sender) {
    if (!credentials_.try_emplace(sender).second) return;
    std::weak_ptr<bool> alive = alive_;
    authority_.credentials(sender, [this, alive, sender](const SenderCredentials& credentials) {
        if (alive.expired()) return;
        auto found = credentials_.find(sender);
        if (found == credentials_.end()) return;
        found->second = credentials;
        pump();
    });
}

// Re-entrant calls (a check that answers at once, a command that queues another) only mark
// work; the outermost call does it, so commands never overtake each other.
void CommandGate::pump() {
    if (pumping_) return;
    pumping_ = true;
    while (!queue_.empty()) {
        Entry& head = queue_.front();
        if (head.access != CommandAccess::ReadOnly && !head.decision) {
            head.decision = reusable(head);
            head.reused = head.decision.has_value();
            if (!head.decision && !checking_) startCheck(head);
            if (!head.decision) break;
        }
        Entry entry = std::move(head);
        queue_.pop_front();
        if (--waitingBySender_[entry.sender] == 0) {
            waitingBySender_.erase(entry.sender);
            credentials_.erase(entry.sender);
        }
        carryOut(entry);
    }
    pumping_ = false;
}

// Waits for the sender's credentials first; the bus answers or gives up within seconds.
void CommandGate::startCheck(const Entry& entry) {
    auto known = credentials_.find(entry.sender);
    if (known == credentials_.end()) fetchCredentials(entry.sender);
    known = credentials_.find(entry.sender);
    if (!known->second) return;
    const SenderCredentials credentials = *known->second;
    checking_ = true;
    const std::uint64_t check = ++checkId_;
    const bool interactive = entry.access == CommandAccess::Uninstall;
    const double bound = interactive ? limits_.uninstallCheckSeconds : limits_.controlCheckSeconds;
    std::weak_ptr<bool> alive = alive_;
    authorizer_.decide(entry.sender, credentials, actionOf(entry.access), interactive, bound,
                       [this, alive, check](const AuthorizationResult& result) {
                           if (!alive.expired()) onDecided(check, result);
                       });
}

void CommandGate::onDecided(std::uint64_t check, const AuthorizationResult& result) {
    if (!checking_ || check != checkId_ || queue_.empty()) return;
    checking_ = false;
    Entry& head = queue_.front();
    head.decision = result;
    remember(head, result);
    pump();
}

std::optional<AuthorizationResult> CommandGate::reusable(const Entry& entry) const {
    auto found = decisions_.find({entry.sender, entry.access});
    if (found == decisions_.end()) return std::nullopt;
    return found->second.result;
}

// Unique names are never handed out twice, so a decision cannot pass to another process.
void CommandGate::remember(const Entry& entry, const AuthorizationResult& result) {
    if (limits_.reuseSeconds <= 0 || entry.sender.empty()) return;
    const DecisionKey key{entry.sender, entry.access};
    const std::uint64_t id = ++decisionId_;
    decisions_[key] = {result, id, 0};
    std::weak_ptr<bool> alive = alive_;
    loop_.after(limits_.reuseSeconds, [this, alive, key, id] {
        if (!alive.expired()) forget(key, id);
    });
}

void CommandGate::forget(const DecisionKey& key, std::uint64_t id) {
    auto found = decisions_.find(key);
    if (found == decisions_.end() || found->second.id != id) return;
    const Decision decision = std::move(found->second);
    decisions_.erase(found);
    if (decision.quietRefusals == 0) return;
    Entry summary{"", key.first, key.second, nullptr, decision.result, true};
    logRefusal(summary, std::to_string(decision.quietRefusals) + " more commands");
}

void CommandGate::carryOut(Entry& entry) {
    if (entry.access == CommandAccess::ReadOnly || entry.decision->allowed()) {
        entry.run();
        return;
    }
    auto decision = decisions_.find({entry.sender, entry.access});
    if (entry.reused && decision != decisions_.end()) {
        ++decision->second.quietRefusals;
        return;
    }
    logRefusal(entry, entry.name);
}

void CommandGate::logRefusal(const Entry& entry, const std::string& what) {
    log_.systemLog("Ampwarden: refused " + what + " from " +
                   who(entry.sender, entry.decision->credentials) + ": " +
                   (entry.decision->reason.empty() ? "not authorised" : entry.decision->reason));
}

void CommandGate::drop(const std::string& sender, const std::string& name) {
    auto [found, first] = drops_.try_emplace(sender);
    ++found->second.count;
    ++found->second.names[name];
    if (first) reportDrops(sender);
}

// The first drop is reported at once; the ones that follow within the minute in one line at
// its end. A sender that stopped flooding is forgotten.
void CommandGate::reportDrops(const std::string& sender) {
    auto found = drops_.find(sender);
    if (found == drops_.end()) return;
    if (found->second.count == 0) {
        drops_.erase(found);
        return;
    }
    std::string what;
    for (const auto& [name, count] : found->second.names) {
        what += (what.empty() ? "" : ", ") + name + " x" + std::to_string(count);
    }
    log_.systemLog("Ampwarden: too many commands waiting from " +
                   (sender.empty() ? std::string("an unknown sender") : sender) + "; dropped " +
                   what);
    found->second = DropReport();
    std::weak_ptr<bool> alive = alive_;
    loop_.after(limits_.dropReportSeconds, [this, alive, sender] {
        if (!alive.expired()) reportDrops(sender);
    });
}

}  // namespace ampwarden
