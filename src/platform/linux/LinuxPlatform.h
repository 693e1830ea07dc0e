#pragma once

#include <memory>

#include "platform/ForwardingSmcService.h"
#include "platform/Platform.h"

namespace ampwarden {

class SdEventRunLoop;
class SystemBus;

// The real platform. Each service is created on first use, so a program that only touches
// the SMC and the logs never connects to the bus; the SMC backend is chosen when the SMC is
// first called, not when an object takes the service. The bus-backed services share one system
// bus connection, attached to the one main loop.
class LinuxPlatform : public Platform {
  public:
    LinuxPlatform();
    ~LinuxPlatform() override;
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    RunLoop& runLoop() override;
    NotificationChannel& channel() override;
    LoginManager& loginManager() override;
    DisplayMonitor& displays() override;
    RunningApplications& applications() override;
    MachineFacts& machine() override;
    SmcService& smc() override;
    Diagnostics& diagnostics() override;
    ProcessRunner& processes() override;
    SpeechSynthesizer& speech() override;
    CommandAuthority& authority() override;

  private:
    SdEventRunLoop& loop();
    SystemBus& systemBus();
    SmcService& chosenSmc();

    // Declared in the order they may depend on each other; destroyed in reverse.
    std::unique_ptr<Diagnostics> diagnostics_;
    std::unique_ptr<SdEventRunLoop> loop_;
    std::unique_ptr<SystemBus> bus_;
    std::unique_ptr<ProcessRunner> processes_;
    std::unique_ptr<NotificationChannel> channel_;
    std::unique_ptr<LoginManager> login_;
    std::unique_ptr<DisplayMonitor> displays_;
    std::unique_ptr<RunningApplications> applications_;
    std::unique_ptr<MachineFacts> machine_;
    std::unique_ptr<SmcService> smc_;
    ForwardingSmcService smcOnFirstUse_{[this]() -> SmcService& { return chosenSmc(); }};
    std::unique_ptr<SpeechSynthesizer> speech_;
    std::unique_ptr<CommandAuthority> authority_;
};

}  // namespace ampwarden
