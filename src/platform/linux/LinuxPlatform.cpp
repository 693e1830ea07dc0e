#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/BusCommandAuthority.h"
#include "platform/linux/BusRunningApplications.h"
#include "platform/linux/DBusNotificationChannel.h"
#include "platform/linux/DrmDisplayMonitor.h"
#include "platform/linux/EspeakSpeechSynthesizer.h"
#include "platform/linux/LinuxMachineFacts.h"
#include "platform/linux/LogindLoginManager.h"
#include "platform/linux/PosixProcessRunner.h"
#include "platform/linux/SdEventRunLoop.h"
#include "platform/linux/SmcBackendChoice.h"
#include "platform/linux/SyslogDiagnostics.h"
#include "platform/linux/SystemBus.h"

namespace ampwarden {

namespace {
template <typename Service, typename Make>
Service& once(std::unique_ptr<Service>& slot, Make make) {
    if (!slot) slot = make();
    return *slot;
}
}  // namespace

LinuxPlatform::LinuxPlatform() = default;

LinuxPlatform::~LinuxPlatform() = default;

SdEventRunLoop& LinuxPlatform::loop() {
    return once(loop_, [] { return std::make_unique<SdEventRunLoop>(); });
}

SystemBus& LinuxPlatform::systemBus() {
    return once(bus_, [this] { return std::make_unique<SystemBus>(loop(), diagnostics()); });
}

RunLoop& LinuxPlatform::runLoop() { return loop(); }

NotificationChannel& LinuxPlatform::channel() {
    return once(channel_, [this]() -> std::unique_ptr<NotificationChannel> {
        return std::make_unique<DBusNotificationChannel>(systemBus().bus(), diagnostics());
    });
}

LoginManager& LinuxPlatform::loginManager() {
    return once(login_, [this]() -> std::unique_ptr<LoginManager> {
        return std::make_unique<LogindLoginManager>(systemBus().bus(), diagnostics());
    });
}

DisplayMonitor& LinuxPlatform::displays() {
    return once(displays_, [this]() -> std::unique_ptr<DisplayMonitor> {
        return std::make_unique<DrmDisplayMonitor>(diagnostics(), loop().event());
    });
}

RunningApplications& LinuxPlatform::applications() {
    return once(applications_, [this]() -> std::unique_ptr<RunningApplications> {
        return std::make_unique<BusRunningApplications>(systemBus().bus());
    });
}

MachineFacts& LinuxPlatform::machine() {
    return once(machine_, [] { return std::make_unique<LinuxMachineFacts>(); });
}

SmcService& LinuxPlatform::smc() { return smcOnFirstUse_; }

SmcService& LinuxPlatform::chosenSmc() {
    return once(smc_, [this] {
        return SmcBackendChoice::make(SmcBackendChoice::Setup::fromEnvironment(), diagnostics());
    });
}

Diagnostics& LinuxPlatform::diagnostics() {
    return once(diagnostics_, [] { return std::make_unique<SyslogDiagnostics>(); });
}

ProcessRunner& LinuxPlatform::processes() {
    return once(processes_, [] { return std::make_unique<PosixProcessRunner>(); });
}

SpeechSynthesizer& LinuxPlatform::speech() {
    return once(speech_, [this]() -> std::unique_ptr<SpeechSynthesizer> {
        return std::make_unique<EspeakSpeechSynthesizer>(processes(), diagnostics());
    });
}

CommandAuthority& LinuxPlatform::authority() {
    return once(authority_, [this]() -> std::unique_ptr<CommandAuthority> {
        return std::make_unique<BusCommandAuthority>(systemBus().bus());
    });
}

}  // namespace ampwarden
