#pragma once

#include <map>
#include <string>

#include "platform/MachineFacts.h"

namespace ampwarden {

// The model from the firmware's DMI table, the process's ids, and the build's version.
class LinuxMachineFacts : public MachineFacts {
  public:
    explicit LinuxMachineFacts(std::string productNamePath = "/sys/class/dmi/id/product_name");

    std::string modelName() override;
    ProcessIds processIds() override;
    std::map<std::string, std::string> bundleInfo() override;

  private:
    std::string productNamePath_;
};

}  // namespace ampwarden
