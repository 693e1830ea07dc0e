#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ampwarden {

// The process-local notification center: names without payload, observers called at once,
// in the order they were added, on the poster's thread (the main loop).
class LocalNotificationCenter {
  public:
    using Callback = std::function<void()>;

    // An observation stays in force until the process ends (or reset() for tests); the token
    // only identifies it.
    struct Observation {
        std::string name;
        Callback callback;
    };
    using Token = std::shared_ptr<const Observation>;

    static LocalNotificationCenter& defaultCenter();

    Token addObserver(const std::string& name, Callback callback);
    void postNotificationName(const std::string& name);

    // Drops every observation; tests start from an empty center.
    void reset();

  private:
    std::vector<Token> observations_;
};

}  // namespace ampwarden
