#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "smc/FanMode.h"

namespace ampwarden::smctool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // no device, or the device or key refused
inline constexpr int kExitUsage = 2;

extern const char* const kHelpText;

enum class Verb { help, version, probe, list, read, write, set, fanMode, fanSpeed, fanReset };

struct Command {
    Verb verb = Verb::help;
    std::string key;                  // read, write: four characters
    std::vector<std::uint8_t> bytes;  // write
    double number = 0;                // set
    std::int64_t fan = 0;             // fan mode, fan speed
    FanMode mode = FanMode::automatic;
    std::int64_t speed = 0;
};

// The command the arguments ask for; none, with `error` saying why, on a usage error.
std::optional<Command> parseCommandLine(const std::vector<std::string>& args, std::string& error);

}  // namespace ampwarden::smctool
