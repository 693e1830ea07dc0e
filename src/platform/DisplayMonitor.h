#pragma once

#include <cstdint>
#include <functional>

namespace ampwarden {

// Display reconfiguration events. The flags use the bits of the display-reconfiguration
// protocol; only these two matter to the helper.
inline constexpr std::uint32_t kDisplayAddFlag = 16;
inline constexpr std::uint32_t kDisplayRemoveFlag = 32;

class DisplayMonitor {
  public:
    virtual ~DisplayMonitor() = default;
    using Callback = std::function<void(std::uint32_t display, std::uint32_t flags)>;
    // Registers the one callback; it runs on the main loop.
    virtual void setReconfigurationCallback(Callback callback) = 0;
};

}  // namespace ampwarden
