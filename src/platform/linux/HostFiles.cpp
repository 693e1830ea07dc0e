#include "platform/linux/HostFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/linux/UniqueFd.h"

namespace ampwarden {

HostFiles::HostFiles() : HostFiles(rootFromEnvironment()) {}

HostFiles::HostFiles(std::string root) : root_(std::move(root)) {
    while (!root_.empty() && root_.back() == '/') root_.pop_back();
}

std::string HostFiles::rootFromEnvironment() {
    const char* env = std::getenv("AMPWARDEN_SYSFS_ROOT");
    return env != nullptr && *env != '\0' ? env : "/";
}

std::string HostFiles::path(std::string_view systemPath) const {
    return root_ + std::string(systemPath);
}

// Every attribute we use is a regular file. Opening without blocking and refusing anything
// else keeps a FIFO (no writer, or no reader) or a device node from stopping the main loop;
// O_NONBLOCK means nothing to a regular file.
UniqueFd HostFiles::openRegular(std::string_view systemPath, int flags, int& error) const {
    UniqueFd fd(::open(path(systemPath).c_str(), flags | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        error = errno;
        return fd;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        error = errno;
        return UniqueFd();
    }
    if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? EISDIR : EIO;
        return UniqueFd();
    }
    return fd;
}

std::optional<std::string> HostFiles::read(std::string_view systemPath, int& error) const {
    UniqueFd fd = openRegular(systemPath, O_RDONLY, error);
    if (!fd.valid()) return std::nullopt;
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof(chunk));
        if (got == 0) break;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = errno;
            return std::nullopt;
        }
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > (1u << 20)) break;  // no file we read is that long
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::optional<std::string> HostFiles::read(std::string_view systemPath) const {
    int ignored = 0;
    return read(systemPath, ignored);
}

int HostFiles::write(std::string_view systemPath, std::string_view text) const {
    // Truncating costs sysfs nothing and keeps a plain file (a test's tree) exact.
    int error = 0;
    UniqueFd fd = openRegular(systemPath, O_WRONLY | O_TRUNC, error);
    if (!fd.valid()) return error;
    ssize_t written = -1;
    do {
        written = ::write(fd.get(), text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return errno;
    return static_cast<std::size_t>(written) == text.size() ? 0 : EIO;
}

bool HostFiles::exists(std::string_view systemPath) const {
    return ::access(path(systemPath).c_str(), F_OK) == 0;
}

int HostFiles::writable(std::string_view systemPath) const {
    return ::access(path(systemPath).c_str(), W_OK) == 0 ? 0 : errno;
}

std::vector<std::string> HostFiles::list(std::string_view systemPath) const {
    std::vector<std::string> names;
    DIR* folder = ::opendir(path(systemPath).c_str());
    if (folder == nullptr) return names;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace ampwarden
