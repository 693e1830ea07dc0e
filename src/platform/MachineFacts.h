#pragma once

#include <map>
#include <string>

namespace ampwarden {

struct ProcessIds {
    int euid = 0;
    int uid = 0;
    int egid = 0;
    int gid = 0;
};

// Facts about this machine and this process that do not change while it runs.
class MachineFacts {
  public:
    virtual ~MachineFacts() = default;
    // The hardware model name (for Intel Macs e.g. "MacBookPro11,1"); empty when unknown.
    virtual std::string modelName() = 0;
    virtual ProcessIds processIds() = 0;
    // The helper's bundle information ("CFBundleShortVersionString", "CFBundleVersion").
    virtual std::map<std::string, std::string> bundleInfo() = 0;
};

}  // namespace ampwarden
