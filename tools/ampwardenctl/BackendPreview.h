#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/SmcBackendChoice.h"

namespace ampwarden::ctl {

// The SMC backend this machine's setting picks, for `ampwardenctl status`. The helper's answers
// do not carry its backend, so the helper's own chooser runs here, with the setting the service
// starts with. It never opens the I/O ports: port-io is judged by its safety checks only, and
// where it would be the pick, that still depends on the read-only probe the helper makes.
class BackendPreview {
  public:
    // The service reads it as its environment file.
    static constexpr const char* kDefaultsFile = "/etc/default/ampwarden";

    struct Preview {
        std::string setting = SmcBackendChoice::kAuto;
        std::string picks;             // empty: none
        bool portProbeNeeded = false;  // picks port-io, whose probe was not made from here
        std::string ifProbeFails;      // what is picked then; empty: none
        // The charge keys the pick holds, as read from here (root only, never from the
        // ports), in the order BCLM, CH0B, CH0C, CH0I; a key it lacks is left out.
        std::vector<std::pair<std::string, std::int64_t>> keys;
        bool keysRead = false;
    };

    // AMPWARDEN_SMC_BACKEND from `environment` when set, else from the defaults file when it
    // has it, else auto.
    static std::string setting(const char* environment, const std::string& defaultsFile);

    // What `setup` picks, with any port opener of it replaced by one that refuses; with
    // `readKeys`, the pick's charge keys too.
    static Preview preview(SmcBackendChoice::Setup setup, bool readKeys = false);
    static Preview forThisMachine();

    static std::string text(const Preview& preview);
    static std::string json(const Preview& preview);
};

}  // namespace ampwarden::ctl
