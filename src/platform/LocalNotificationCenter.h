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

    // An observation stays in force as long as the center; the token only identifies it.
    struct Observation {
        std::string name;
        Callback callback;
    };
    using Token = std::shared_ptr<const Observation>;

    Token addObserver(const std::string& name, Callback callback);
    void postNotificationName(const std::string& name);

  private:
    std::vector<Token> observations_;
};

}  // namespace ampwarden
