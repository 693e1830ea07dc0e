#pragma once

#include <string>
#include <utility>
#include <vector>

#include "fake/FakeRunLoop.h"
#include "platform/NotificationChannel.h"

namespace ampwarden::test {

// An in-memory broadcast: a posted command reaches the observers of that name in the order
// they registered; every answer is recorded with the virtual time it was posted at. Nothing in
// the helper listens to answers, so answer observers are not kept.
class FakeNotificationChannel : public NotificationChannel {
  public:
    struct Answer {
        std::string name;
        NotificationDictionary dictionary;
        double time = 0;
    };

    explicit FakeNotificationChannel(const FakeRunLoop& clock) : clock_(clock) {}

    // The sender of commands posted without one: root's connection (the fake authority
    // lets unscripted senders be root).
    static constexpr const char* kRootSender = ":1.0";

    void addDarwinObserver(const std::string& name, DarwinCallback callback) override {
        addCommandObserver(
            name, [callback = std::move(callback)](const std::string& arrived, const std::string&) {
                callback(arrived);
            });
    }
    bool backlog() override { return backlogged; }
    void addCommandObserver(const std::string& name, CommandCallback callback) override {
        observers_.emplace_back(name, std::move(callback));
    }
    void postDistributedNotification(const std::string& name,
                                     const NotificationDictionary& dictionary) override {
        answers.push_back({name, dictionary, clock_.now()});
    }
    void postDarwinNotification(const std::string& name) override {
        postDarwinNotification(name, kRootSender);
    }
    void postDarwinNotification(const std::string& name, const std::string& sender) {
        // Copy: a callback may register further observers.
        auto observers = observers_;
        for (auto& [observed, callback] : observers) {
            if (observed == name) callback(name, sender);
        }
    }
    void addDistributedObserver(DistributedCallback) override {}
    void flush() override { answersWhenFlushed.push_back(answers.size()); }

    std::vector<std::string> answerNames() const {
        std::vector<std::string> names;
        for (const auto& answer : answers) names.push_back(answer.name);
        return names;
    }

    std::vector<std::size_t> answersWhenFlushed;  // answers posted by each flush
    std::vector<Answer> answers;
    bool backlogged = false;  // more has arrived than the helper read

  private:
    const FakeRunLoop& clock_;
    std::vector<std::pair<std::string, CommandCallback>> observers_;
};

}  // namespace ampwarden::test
