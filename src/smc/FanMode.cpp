#include "smc/FanMode.h"

#include <charconv>

namespace ampwarden {

std::optional<FanMode> fanModeFromRaw(std::int64_t raw) {
    if (raw == rawValue(FanMode::automatic)) return FanMode::automatic;
    if (raw == rawValue(FanMode::forced)) return FanMode::forced;
    return std::nullopt;
}

std::string encodeFanMode(FanMode mode) { return std::to_string(rawValue(mode)); }

std::optional<FanMode> decodeFanMode(std::string_view text) {
    std::int64_t raw = 0;
    const char* end = text.data() + text.size();
    auto [stop, status] = std::from_chars(text.data(), end, raw);
    if (status != std::errc() || stop != end || text.empty()) return std::nullopt;
    return fanModeFromRaw(raw);
}

}  // namespace ampwarden
