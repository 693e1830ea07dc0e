#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "platform/RunLoop.h"

namespace ampwarden::test {

// A run loop on a virtual clock: nothing runs until advance() moves time forward, and then
// due work runs in deadline order (ties in the order it was scheduled). It keeps the real
// loop's rules (RunLoopContractTest holds both to them): a delay of zero or less is "now", and
// a repeating timer held up past several ticks ticks once and skips the rest.
class FakeRunLoop : public RunLoop {
  public:
    void after(double seconds, std::function<void()> fn) override {
        schedule(now_ + (seconds > 0 ? seconds : 0), std::move(fn));
    }

    std::unique_ptr<Timer> repeating(double interval, std::function<void()> fn) override {
        auto state = std::make_shared<TimerState>();
        state->interval = interval;
        state->fn = std::move(fn);
        arm(state, now_ + interval);
        return std::make_unique<FakeTimer>(state);
    }

    int run() override { return exitCode_.value_or(0); }
    void quit(int exitCode) override { exitCode_ = exitCode; }
    std::optional<int> quitCode() const { return exitCode_; }

    // Moves the clock forward by `seconds`, running everything that falls due on the way.
    void advance(double seconds) {
        const double target = now_ + seconds;
        while (!queue_.empty() && queue_.begin()->first.first <= target + 1e-9) {
            auto node = queue_.extract(queue_.begin());
            now_ = std::max(now_, node.key().first);
            node.mapped()();
        }
        now_ = std::max(now_, target);
    }

    // Time spent inside a callback, as a slow callback holds up a real loop: what falls due
    // meanwhile runs only afterwards, and a repeating timer skips the ticks it missed.
    void hold(double seconds) { now_ += seconds; }

    double now() const { return now_; }
    std::size_t pending() const { return queue_.size(); }
    // Forgets everything scheduled, as a real loop that has ended runs nothing more: for a test
    // that replaces the object whose work it ran.
    void dropPending() { queue_.clear(); }

  private:
    struct TimerState {
        double interval = 0;
        std::function<void()> fn;
        bool cancelled = false;
    };
    class FakeTimer : public Timer {
      public:
        explicit FakeTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
        ~FakeTimer() override { cancel(); }
        void cancel() override { state_->cancelled = true; }

      private:
        std::shared_ptr<TimerState> state_;
    };

    void schedule(double deadline, std::function<void()> fn) {
        queue_.emplace(std::make_pair(deadline, sequence_++), std::move(fn));
    }

    void arm(const std::shared_ptr<TimerState>& state, double deadline) {
        std::weak_ptr<TimerState> weak = state;
        schedule(deadline, [this, weak, deadline] {
            auto live = weak.lock();
            if (!live || live->cancelled) return;
            double next = deadline + live->interval;
            if (live->interval > 0 && next <= now_) {
                next += std::floor((now_ - next) / live->interval + 1) * live->interval;
            }
            arm(live, next);
            live->fn();
        });
    }

    double now_ = 0;
    std::uint64_t sequence_ = 0;
    std::map<std::pair<double, std::uint64_t>, std::function<void()>> queue_;
    std::optional<int> exitCode_;
};

}  // namespace ampwarden::test
