#include "platform/linux/SdEventRunLoop.h"

#include <signal.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/CallbackGuard.h"

namespace ampwarden {

namespace {
// Wake-ups are as exact as the kernel allows: the helper's timers have no leeway.
constexpr std::uint64_t kAccuracyUsec = 1;
}  // namespace

struct SdEventRunLoop::TimerState {
    std::uint64_t interval = 0;
    std::function<void()> fn;
    bool cancelled = false;
};

class SdEventRunLoop::RepeatingTimer : public Timer {
  public:
    explicit RepeatingTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    ~RepeatingTimer() override { cancel(); }
    void cancel() override { state_->cancelled = true; }

  private:
    std::shared_ptr<TimerState> state_;
};

SdEventRunLoop::SdEventRunLoop() {
    sd_event* event = nullptr;
    int r = sd_event_new(&event);
    if (r < 0) {
        std::fprintf(stderr, "Ampwarden: cannot create the event loop: %s\n", std::strerror(-r));
        return;
    }
    event_.reset(event);

    // Without these sources timers would never fire or SIGTERM would kill mid-callback: each
    // failure is remembered and run() refuses to start.
    sd_event_source* source = nullptr;
    r = sd_event_add_time(event, &source, CLOCK_MONOTONIC, UINT64_MAX, kAccuracyUsec, onTime, this);
    if (r >= 0) {
        timeSource_.reset(source);
        r = sd_event_source_set_enabled(source, SD_EVENT_OFF);
    }
    if (r < 0) {
        setupFailed("cannot create the timer source", r);
        return;
    }
    // The signals are blocked for as long as their sources live, so they reach only the loop.
    r = sd_event_add_signal(event, &source, SIGTERM | SD_EVENT_SIGNAL_PROCMASK, onSignal, nullptr);
    if (r < 0) {
        setupFailed("cannot watch SIGTERM", r);
        return;
    }
    termSource_.reset(source);
    r = sd_event_add_signal(event, &source, SIGINT | SD_EVENT_SIGNAL_PROCMASK, onSignal, nullptr);
    if (r < 0) {
        setupFailed("cannot watch SIGINT", r);
        return;
    }
    intSource_.reset(source);
}

void SdEventRunLoop::setupFailed(const char* what, int r) {
    if (setupError_.empty()) setupError_ = std::string(what) + ": " + std::strerror(-r);
}

SdEventRunLoop::~SdEventRunLoop() {
    // Drop queued work first: a closure may own objects whose destructors touch the loop.
    auto queue = std::move(queue_);
    queue.clear();
}

std::uint64_t SdEventRunLoop::nowUsec() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t SdEventRunLoop::toUsec(double seconds) {
    if (!(seconds > 0)) return 0;  // also NaN
    const double usec = std::ceil(seconds * 1e6);
    return usec >= 1e15 ? std::uint64_t{1000000000000000} : static_cast<std::uint64_t>(usec);
}

void SdEventRunLoop::after(double seconds, std::function<void()> fn) {
    schedule(nowUsec() + toUsec(seconds), std::move(fn));
}

std::unique_ptr<Timer> SdEventRunLoop::repeating(double interval, std::function<void()> fn) {
    auto state = std::make_shared<TimerState>();
    state->interval = toUsec(interval);
    state->fn = std::move(fn);
    arm(state, nowUsec() + state->interval);
    return std::make_unique<RepeatingTimer>(state);
}

int SdEventRunLoop::run() {
    if (!event_) return 1;
    if (!setupError_.empty()) {
        std::fprintf(stderr, "Ampwarden: %s\n", setupError_.c_str());
        return 1;
    }
    const int r = sd_event_loop(event_.get());
    if (r < 0) {
        std::fprintf(stderr, "Ampwarden: the event loop failed: %s\n", std::strerror(-r));
        return 1;
    }
    return r;
}

void SdEventRunLoop::quit(int exitCode) {
    if (event_) sd_event_exit(event_.get(), exitCode);
}

void SdEventRunLoop::schedule(std::uint64_t deadline, std::function<void()> fn) {
    queue_.emplace(Key{deadline, sequence_++}, std::move(fn));
    rearm();
}

void SdEventRunLoop::arm(const std::shared_ptr<TimerState>& state, std::uint64_t deadline) {
    std::weak_ptr<TimerState> weak = state;
    schedule(deadline, [this, weak, deadline] {
        auto live = weak.lock();
        if (!live || live->cancelled) return;
        // A loop that was held up skips the ticks it missed instead of firing them in a burst.
        std::uint64_t next = deadline + live->interval;
        const std::uint64_t now = nowUsec();
        if (live->interval > 0 && next <= now) {
            next += ((now - next) / live->interval + 1) * live->interval;
        }
        arm(live, next);
        auto fn = live->fn;  // the callback may cancel and drop the timer
        fn();
    });
}

int SdEventRunLoop::onTime(sd_event_source*, std::uint64_t, void* userdata) {
    auto* self = static_cast<SdEventRunLoop*>(userdata);
    return CallbackGuard::run(self->event(), "a timed callback", [self] { self->runDue(); });
}

int SdEventRunLoop::onSignal(sd_event_source* source, const struct signalfd_siginfo*, void*) {
    sd_event_exit(sd_event_source_get_event(source), 0);
    return 0;
}

// Runs the work that was due when this dispatch began. Work scheduled by those callbacks waits
// for the next iteration, so bus messages still get their turn between zero-delay callbacks.
void SdEventRunLoop::runDue() {
    const std::uint64_t now = nowUsec();
    const std::uint64_t lastSequence = sequence_;
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->first.first > now) break;
        if (it->first.second >= lastSequence) {
            ++it;
            continue;
        }
        auto fn = std::move(it->second);
        queue_.erase(it);
        fn();
        it = queue_.begin();
    }
    rearm();
}

void SdEventRunLoop::rearm() {
    if (!timeSource_) return;
    int r = 0;
    if (queue_.empty()) {
        r = sd_event_source_set_enabled(timeSource_.get(), SD_EVENT_OFF);
    } else {
        r = sd_event_source_set_time(timeSource_.get(), queue_.begin()->first.first);
        if (r >= 0) r = sd_event_source_set_enabled(timeSource_.get(), SD_EVENT_ONESHOT);
    }
    if (r >= 0) return;
    // A timer that can no longer be armed would silently never fire: end instead.
    std::fprintf(stderr, "Ampwarden: cannot arm the timer: %s\n", std::strerror(-r));
    quit(1);
}

}  // namespace ampwarden
