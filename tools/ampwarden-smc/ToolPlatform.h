#pragma once

#include <memory>
#include <string>

#include "platform/Platform.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/SmcBackendChoice.h"

namespace ampwarden::smctool {

// The Linux platform, except that the SMC layer's lines go to standard error: in this tool
// they are diagnostics, and standard output carries only the keys asked for.
class ToolPlatform : public Platform {
  public:
    ToolPlatform() = default;
    ToolPlatform(const ToolPlatform&) = delete;
    ToolPlatform& operator=(const ToolPlatform&) = delete;

    RunLoop& runLoop() override { return linux_.runLoop(); }
    NotificationChannel& channel() override { return linux_.channel(); }
    LoginManager& loginManager() override { return linux_.loginManager(); }
    DisplayMonitor& displays() override { return linux_.displays(); }
    RunningApplications& applications() override { return linux_.applications(); }
    MachineFacts& machine() override { return linux_.machine(); }
    // Chosen like the helper's, its line in the system log; the report is kept.
    SmcService& smc() override;
    // Why "open" finds no SMC, as the tool tells it.
    std::string noDeviceReason();
    Diagnostics& diagnostics() override { return stderrLines_; }
    ProcessRunner& processes() override { return linux_.processes(); }
    SpeechSynthesizer& speech() override { return linux_.speech(); }
    CommandAuthority& authority() override { return linux_.authority(); }

  private:
    class StderrDiagnostics : public Diagnostics {
      public:
        void systemLog(const std::string& line) override;
        void standardOutput(const std::string& line) override;
    };

    LinuxPlatform linux_;
    SmcBackendChoice::Report report_;
    std::unique_ptr<SmcService> smc_;
    StderrDiagnostics stderrLines_;
};

}  // namespace ampwarden::smctool
