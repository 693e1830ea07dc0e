#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/SmcService.h"
#include "smc/FanMode.h"
#include "smc/SMCKeyData_t.h"
#include "smc/SMCVal_t.h"

namespace ampwarden {

// The helper's connection to the System Management Controller and every key operation on it.
// Operations are virtual, in a fixed order, so that a test or a subclass can replace any one.
// Every diagnostic goes to standard output of `log`. `device` and `log` must outlive the object.
class SMC {
  public:
    SMC(SmcService& device, Diagnostics& log);
    virtual ~SMC();
    SMC(const SMC&) = delete;
    SMC& operator=(const SMC&) = delete;

    // 0 when open; otherwise the code of the step that failed (kIOReturnNotFound when there
    // is no service), after that step's own log line.
    virtual kern_return_t open();
    virtual kern_return_t close();  // the code of closing `conn`
    virtual std::optional<double> getValue(const std::string& key);
    virtual std::optional<std::string> getStringValue(const std::string& key);
    virtual std::vector<std::string> getAllKeys();
    virtual kern_return_t writeFpe2(const std::string& key, std::int64_t value);
    virtual void setFanMode(std::int64_t fan, FanMode mode);
    virtual void setFanSpeed(std::int64_t fan, std::int64_t speed);
    virtual void resetFanModes();
    virtual bool isCHBIReadable();
    virtual std::optional<std::int64_t> readByteValue(const std::string& key);
    // 0 when the byte reached the device; every step and failure is logged.
    virtual kern_return_t writeByteValue(const std::string& key, std::int64_t value);
    // The same write without a line of its own, for a retry whose first failure was logged.
    virtual kern_return_t writeByteValueQuietly(const std::string& key, std::int64_t value);
    virtual kern_return_t read(SMCVal_t& value);
    virtual kern_return_t write(const SMCVal_t& value);

    io_connect_t conn = 0;

  private:
    // One exchange of records with the device behind `conn`.
    kern_return_t callStructMethod(const SMCKeyData_t& input, SMCKeyData_t& output);
    kern_return_t closeConnection();
    kern_return_t storeByteValue(const std::string& key, std::int64_t value, bool logging);
    void setFanModeKey(std::int64_t fan, FanMode mode);
    void setForcedFanMask(std::int64_t fan, FanMode mode);
    std::int64_t forcedFanMask();
    void log(const std::string& line);
    // Logs why an argument never reaches the device.
    void refuse(const std::string& operation, const std::string& reason);

    SmcService& device_;
    Diagnostics& log_;
};

}  // namespace ampwarden
