#pragma once

namespace ampwarden {

enum class FanMode : int { automatic = 0, forced = 1 };

}  // namespace ampwarden
