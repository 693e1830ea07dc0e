#pragma once

#include <optional>
#include <string>

#include "CommandLine.h"
#include "smc/SMC.h"

namespace ampwarden::smctool {

// Carries out one command on an SMC and prints the keys it read; returns the exit status.
// Failures are told on standard error.
class SmcTool {
  public:
    // `smc` works on `device`; `noDevice` says why there is no SMC when it cannot be opened.
    SmcTool(SMC& smc, SmcService& device, std::string noDevice)
        : smc_(smc), device_(device), noDevice_(std::move(noDevice)) {}

    int run(const Command& command);

  private:
    bool openDevice();
    int list();
    int read(const std::string& key);
    int write(const std::string& key, const std::vector<std::uint8_t>& bytes);
    int set(const std::string& key, double number);
    int fanMode(std::int64_t fan, FanMode mode);
    int fanModeKeyOnly(std::int64_t fan, FanMode mode);
    int fanSpeed(std::int64_t fan, std::int64_t speed);
    int fanReset();

    // Reads `key` and prints its line; false (told on standard error) when it can't be read.
    bool printKey(const std::string& key);
    // The forced-fan mask as the device holds it; none (told) when it can't be read.
    std::optional<std::int64_t> forcedFans();

    SMC& smc_;
    SmcService& device_;
    std::string noDevice_;
};

}  // namespace ampwarden::smctool
