#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace ampwarden::test {

// A scratch folder standing in for "/" of a machine: its /sys and /proc files, as a test
// writes them. Removed with everything in it when the test ends.
class FakeHostTree {
  public:
    FakeHostTree() {
        char folder[] = "/tmp/ampwarden-host-XXXXXX";
        root_ = ::mkdtemp(folder) != nullptr ? folder : "";
    }
    ~FakeHostTree() { std::system(("rm -rf '" + root_ + "'").c_str()); }
    FakeHostTree(const FakeHostTree&) = delete;
    FakeHostTree& operator=(const FakeHostTree&) = delete;

    const std::string& root() const { return root_; }

    // Writes a file at a system path ("/sys/class/dmi/id/sys_vendor"), folders as needed.
    void write(const std::string& path, const std::string& text) const {
        std::system(("mkdir -p '" + root_ + path.substr(0, path.rfind('/')) + "'").c_str());
        std::ofstream(root_ + path) << text;
    }
    std::string read(const std::string& path) const {
        std::stringstream text;
        text << std::ifstream(root_ + path).rdbuf();
        std::string content = text.str();
        while (!content.empty() && content.back() == '\n') content.pop_back();
        return content;
    }
    void remove(const std::string& path) const { ::unlink((root_ + path).c_str()); }
    // Makes the file at `path` stand for `target`, e.g. /dev/full for a write the kernel refuses.
    void link(const std::string& path, const std::string& target) const {
        remove(path);
        ::symlink(target.c_str(), (root_ + path).c_str());
    }

    // A battery with the given charge attributes ("" leaves one out).
    void battery(const std::string& name, const std::string& threshold,
                 const std::string& behaviour) const {
        const std::string folder = "/sys/class/power_supply/" + name;
        write(folder + "/type", "Battery\n");
        if (!threshold.empty()) write(folder + "/charge_control_end_threshold", threshold + "\n");
        if (!behaviour.empty()) write(folder + "/charge_behaviour", behaviour + "\n");
    }

  private:
    std::string root_;
};

}  // namespace ampwarden::test
