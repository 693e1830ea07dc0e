#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/PortIo.h"
#include "platform/SmcService.h"
#include "platform/linux/HostFiles.h"

namespace ampwarden {

// Picks the SMC backend at start-up, the same way in the helper and in ampwarden-smc:
// AMPWARDEN_SMC_BACKEND=auto|emulator|kernel|port-io. "auto" takes the emulator when its
// socket is configured; else, of the kernel's battery attributes and the SMC's I/O ports, the
// one that backs more of the four charge keys, the kernel's on a tie; else none. The ports are
// touched only on an Apple machine whose port region is free or held by the SMC's own
// firmware device and driver, outside kernel lockdown, and then first by a read-only probe.
class SmcBackendChoice {
  public:
    static constexpr const char* kEmulator = "emulator";
    static constexpr const char* kKernel = "kernel";
    static constexpr const char* kPortIo = "port-io";
    static constexpr const char* kAuto = "auto";
    // Where the service's unit takes AMPWARDEN_SMC_BACKEND from.
    static constexpr const char* kDefaultsFile = "/etc/default/ampwarden";

    using PortOpener = std::function<std::unique_ptr<PortIo>(std::string& error)>;

    struct Setup {
        std::string setting = kAuto;
        std::optional<std::string> emulatorSocket;  // none: not configured
        HostFiles files{"/"};
        PortOpener openPorts;
        std::string lockPath;

        static Setup fromEnvironment();
        // As fromEnvironment(), but without AMPWARDEN_SMC_BACKEND in the environment, the
        // setting of kDefaultsFile (under the host files' root): what the service would get.
        static Setup asTheService();
    };

    struct Backend {
        std::string name;
        bool usable = false;
        std::string why;                      // when not usable
        std::vector<std::string> uses;        // files, socket, ports
        std::vector<std::string> chargeKeys;  // of BCLM, CH0B, CH0C, CH0I
        std::string note;                     // usable here, but not so under the service
    };

    struct Report {
        std::string setting;
        std::vector<Backend> backends;  // every one looked at, in order
        std::string chosen;             // empty: none
        std::string autoPick;           // what "auto" takes (probeAll only); empty: none
        bool anyUsable() const;
        // One line: what was chosen, what it backs, why each other one was passed over.
        std::string line() const;
    };

    explicit SmcBackendChoice(Setup setup);
    ~SmcBackendChoice();
    SmcBackendChoice(const SmcBackendChoice&) = delete;
    SmcBackendChoice& operator=(const SmcBackendChoice&) = delete;

    static bool knownSetting(const std::string& setting);
    // AMPWARDEN_SMC_BACKEND's value in an environment file as systemd reads it (the last
    // assignment wins, quotes come off, # and ; start comments); none when not set there.
    static std::optional<std::string> settingInFile(const std::string& text);

    // What the setting chooses, looking only at the backends it needs to.
    Report choose();
    // Every backend, and what the setting chooses.
    Report probeAll();
    // The service chosen by the last choose() or probeAll(); one that has no SMC when none.
    std::unique_ptr<SmcService> takeService();

    // choose(), its line in the system log, and the service.
    static std::unique_ptr<SmcService> make(Setup setup, Diagnostics& log);

    // What "auto" takes: the emulator when its socket is configured, else see above. Public so
    // a tool that may not open the ports can ask what a port probe that succeeds would change.
    static std::string autoRule(bool emulator, const Backend& kernel, const Backend& ports);

  private:
    Backend probeEmulator();
    Backend probeKernel();
    Backend probePorts();
    bool portsSafe(std::string& why) const;
    void pick(Report& report, const std::string& name);

    Setup setup_;
    std::unique_ptr<SmcService> emulator_;
    std::unique_ptr<SmcService> kernel_;
    std::unique_ptr<SmcService> ports_;
    std::unique_ptr<SmcService> chosen_;
};

}  // namespace ampwarden
