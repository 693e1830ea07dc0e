#pragma once

#include <optional>
#include <string>

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
    };

    // AMPWARDEN_SMC_BACKEND from `environment` when set, else from the defaults file when it
    // has it, else auto.
    static std::string setting(const char* environment, const std::string& defaultsFile);
    // The value of the last AMPWARDEN_SMC_BACKEND= line of an environment file; none if none.
    static std::optional<std::string> settingInFile(const std::string& text);

    // What `setup` picks, with any port opener of it replaced by one that refuses.
    static Preview preview(SmcBackendChoice::Setup setup);
    static Preview forThisMachine();

    static std::string text(const Preview& preview);
    static std::string json(const Preview& preview);
};

}  // namespace ampwarden::ctl
