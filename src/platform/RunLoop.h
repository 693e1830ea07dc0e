#pragma once

#include <functional>
#include <memory>

namespace ampwarden {

// A repeating timer started by RunLoop::repeating. Destroying it cancels it.
class Timer {
  public:
    virtual ~Timer() = default;
    // Stops the timer; its callback does not run again. Safe to call from the callback itself.
    virtual void cancel() = 0;
};

// The helper's one main loop. Every callback runs on it, one at a time.
class RunLoop {
  public:
    virtual ~RunLoop() = default;
    // Runs fn once, `seconds` from now, on the main loop. Work due at the same time runs in
    // the order it was scheduled.
    virtual void after(double seconds, std::function<void()> fn) = 0;
    // Runs fn at now + interval, then every interval after that, with no leeway.
    virtual std::unique_ptr<Timer> repeating(double interval, std::function<void()> fn) = 0;
    // Runs the loop until quit() is called; returns the code given to quit().
    virtual int run() = 0;
    virtual void quit(int exitCode) = 0;
};

}  // namespace ampwarden
