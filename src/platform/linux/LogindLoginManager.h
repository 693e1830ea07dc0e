#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>

#include "platform/Diagnostics.h"
#include "platform/LoginManager.h"
#include "platform/linux/SdPointers.h"
#include "platform/linux/UniqueFd.h"

namespace ampwarden {

// systemd-logind over the system bus. Every question is asked with a short timeout, on a
// connection that carries nothing else, so a missing or stuck logind means "unknown", never a
// hung helper, and a backlog of commands on the main connection is neither waited behind nor
// read into memory. While awake the helper holds
// a sleep delay inhibitor, which gives its will-sleep work time to finish before the machine
// goes down. Each kind of failure is logged once; the helper goes on without that answer.
class LogindLoginManager : public LoginManager {
  public:
    // `bus` may be null (no connection): every answer is then none. Without `delaySleep` no
    // inhibitor is taken: for a program that only follows sleep and wake (the battery app).
    LogindLoginManager(sd_bus* bus, Diagnostics& log, bool delaySleep = true);
    ~LogindLoginManager() override;
    LogindLoginManager(const LogindLoginManager&) = delete;
    LogindLoginManager& operator=(const LogindLoginManager&) = delete;

    std::optional<std::string> consoleUser() override;
    std::optional<bool> clamshellClosed() override;
    void setSleepHandlers(std::function<void()> willSleep, std::function<void()> didWake) override;
    void sleepWorkDone() override;

    bool holdsSleepInhibitor() const { return inhibitor_.valid(); }

  private:
    static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* error);
    sd_bus* queryBus();
    sd::MessagePtr call(sd::MessagePtr request, const char* failure);
    sd::MessagePtr getProperty(const char* path, const char* interface, const char* property,
                               const char* failure);
    std::optional<std::string> activeSessionPath();
    std::optional<std::string> stringProperty(const std::string& sessionPath, const char* name);
    void watchSleep();
    void takeInhibitor();
    void logOnce(const std::string& failure, const std::string& detail);

    sd_bus* bus_;
    Diagnostics& log_;
    const bool delaySleep_;
    std::function<void()> willSleep_;
    std::function<void()> didWake_;
    sd::BusPtr queryBus_;  // opened on the first question
    sd::SlotPtr sleepSlot_;
    UniqueFd inhibitor_;
    std::set<std::string> logged_;
};

}  // namespace ampwarden
