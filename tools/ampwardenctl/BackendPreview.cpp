#include "ampwardenctl/BackendPreview.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ampwardenctl/AnswerFormat.h"
#include "platform/MachError.h"
#include "smc/SMC.h"

namespace ampwarden::ctl {
namespace {

constexpr const char* kNotOpened = "ports not opened by ampwardenctl";

std::string orNone(const std::string& name) { return name.empty() ? "none" : name; }

// The SMC's own diagnostics would only repeat what status shows.
class Silent : public Diagnostics {
  public:
    void systemLog(const std::string&) override {}
    void standardOutput(const std::string&) override {}
};

void readChargeKeys(SmcService& service, BackendPreview::Preview& preview) {
    Silent silent;
    SMC smc(service, silent);
    if (smc.open() != kKernSuccess) return;
    preview.keysRead = true;
    for (const char* key : {"BCLM", "CH0B", "CH0C", "CH0I"}) {
        if (auto value = smc.readByteValue(key)) preview.keys.emplace_back(key, *value);
    }
    smc.close();
}

}  // namespace

std::string BackendPreview::setting(const char* environment, const std::string& defaultsFile) {
    if (environment != nullptr && *environment != '\0') return environment;
    std::ifstream file(defaultsFile);
    if (file) {
        std::stringstream text;
        text << file.rdbuf();
        // Empty, as the helper takes it: auto.
        if (auto value = SmcBackendChoice::settingInFile(text.str()); value && !value->empty())
            return *value;
    }
    return SmcBackendChoice::kAuto;
}

BackendPreview::Preview BackendPreview::preview(SmcBackendChoice::Setup setup, bool readKeys) {
    setup.openPorts = [](std::string& error) -> std::unique_ptr<PortIo> {
        error = kNotOpened;
        return nullptr;
    };
    SmcBackendChoice choice(std::move(setup));
    const SmcBackendChoice::Report report = choice.choose();
    Preview preview;
    preview.setting = report.setting;
    preview.picks = report.chosen;
    SmcBackendChoice::Backend kernel;
    for (const auto& backend : report.backends) {
        if (backend.name == SmcBackendChoice::kKernel) kernel = backend;
    }
    for (const auto& backend : report.backends) {
        // Refused by us means it passed every safety check: only the probe is left.
        if (backend.name != SmcBackendChoice::kPortIo || backend.why != kNotOpened) continue;
        SmcBackendChoice::Backend probed = backend;
        probed.usable = true;
        probed.chargeKeys = {"BCLM", "CH0B", "CH0C", "CH0I"};  // a sane SMC has them all
        if (report.setting == SmcBackendChoice::kPortIo ||
            SmcBackendChoice::autoRule(false, kernel, probed) == SmcBackendChoice::kPortIo) {
            preview.ifProbeFails = report.chosen;
            preview.picks = SmcBackendChoice::kPortIo;
            preview.portProbeNeeded = true;
        }
    }
    if (readKeys && !preview.picks.empty() && !preview.portProbeNeeded) {
        readChargeKeys(*choice.takeService(), preview);
    }
    return preview;
}

BackendPreview::Preview BackendPreview::forThisMachine() {
    SmcBackendChoice::Setup setup = SmcBackendChoice::Setup::fromEnvironment();
    setup.setting = setting(std::getenv("AMPWARDEN_SMC_BACKEND"), kDefaultsFile);
    return preview(std::move(setup), ::geteuid() == 0);
}

std::string BackendPreview::text(const Preview& preview) {
    const std::string label =
        "what this machine's AMPWARDEN_SMC_BACKEND=" + preview.setting + " picks";
    if (preview.portProbeNeeded) {
        return preview.picks + " if its probe succeeds, else " + orNone(preview.ifProbeFails) +
               " (" + label + "; see 'ampwarden-smc probe')";
    }
    if (preview.picks.empty()) return "none (" + label + "; 'ampwarden-smc probe' tells why)";
    return preview.picks + " (" + label + ")";
}

std::string BackendPreview::json(const Preview& preview) {
    auto nameOrNull = [](const std::string& name) {
        return name.empty() ? std::string("null") : jsonString(name);
    };
    return "{\"setting\":" + jsonString(preview.setting) +
           ",\"picks\":" + nameOrNull(preview.picks) +
           ",\"portProbeNeeded\":" + (preview.portProbeNeeded ? "true" : "false") +
           ",\"ifProbeFails\":" +
           (preview.portProbeNeeded ? nameOrNull(preview.ifProbeFails) : "null") + "}";
}

}  // namespace ampwarden::ctl
