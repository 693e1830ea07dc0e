#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ampwarden {

// How a fan is driven: by the SMC's own control or at a speed the helper forces.
enum class FanMode : int { automatic = 0, forced = 1 };

constexpr int rawValue(FanMode mode) { return static_cast<int>(mode); }

// The case for a raw integer; none for anything but 0 and 1.
std::optional<FanMode> fanModeFromRaw(std::int64_t raw);

// The stored form of a mode is its bare raw integer: "0" or "1".
std::string encodeFanMode(FanMode mode);

// Reads the stored form back; none for anything but the integer 0 or 1.
std::optional<FanMode> decodeFanMode(std::string_view text);

}  // namespace ampwarden
