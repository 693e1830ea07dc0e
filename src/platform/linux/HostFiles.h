#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/UniqueFd.h"

namespace ampwarden {

// The kernel's files about this machine (/sys, /proc), seen under a root folder: "/" on a
// real system, a fake tree in tests (AMPWARDEN_SYSFS_ROOT names it). Paths given to it are
// the system's own ("/sys/class/dmi/id/sys_vendor"); what it reports back is the real path.
class HostFiles {
  public:
    HostFiles();  // the root from the environment
    explicit HostFiles(std::string root);

    static std::string rootFromEnvironment();

    // The real path of a system path.
    std::string path(std::string_view systemPath) const;
    // The file's text, trailing newline removed; none, with `error` an errno, when unreadable
    // or not a regular file (a FIFO or a device is never waited for).
    std::optional<std::string> read(std::string_view systemPath, int& error) const;
    std::optional<std::string> read(std::string_view systemPath) const;
    // Writes `text` in one write(2), as sysfs wants; 0 or the errno of the refusal.
    int write(std::string_view systemPath, std::string_view text) const;
    bool exists(std::string_view systemPath) const;
    // 0 when the file may be written, else the errno saying why not.
    int writable(std::string_view systemPath) const;
    // The names in a folder, sorted; empty when it cannot be read.
    std::vector<std::string> list(std::string_view systemPath) const;

  private:
    // An invalid descriptor, with `error` an errno, for what is not a regular file.
    UniqueFd openRegular(std::string_view systemPath, int flags, int& error) const;

    std::string root_;
};

}  // namespace ampwarden
