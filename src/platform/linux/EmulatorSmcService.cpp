#include "platform/linux/EmulatorSmcService.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "emulator/EmulatorFrame.h"
#include "platform/MachError.h"
#include "platform/linux/UniqueFd.h"

namespace ampwarden {

namespace {

using Clock = std::chrono::steady_clock;

// The one service the emulator offers.
constexpr io_service_t kEmulatorService = 1;

// Blocks until `fd` is ready for `events` or the deadline passes; false on the deadline.
bool waitUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return false;
        const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(nanos / 1000000000), nanos % 1000000000};
        pollfd entry{fd, events, 0};
        const int ready = ::ppoll(&entry, 1, &timeout, nullptr);
        if (ready > 0) return true;  // errors and hang-ups show in the next send or recv
        if (ready < 0 && errno != EINTR) return true;
    }
}

kern_return_t connectSocket(const std::string& path, Clock::time_point deadline, UniqueFd& out) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return kIOReturnNoDevice;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return kIOReturnNoResources;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno != EAGAIN && errno != EINPROGRESS) return kIOReturnNotResponding;
        if (!waitUntil(fd.get(), POLLOUT, deadline)) return kIOReturnTimeout;
        int error = 0;
        socklen_t length = sizeof(error);
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) return kIOReturnNotResponding;
    }
    out = std::move(fd);
    return kKernSuccess;
}

kern_return_t sendAll(int fd, const std::uint8_t* data, std::size_t size,
                      Clock::time_point deadline) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            size -= static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && errno == EAGAIN) {
            if (!waitUntil(fd, POLLOUT, deadline)) return kIOReturnTimeout;
        } else {
            return kIOReturnNotResponding;
        }
    }
    return kKernSuccess;
}

kern_return_t receiveAll(int fd, std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    while (size > 0) {
        if (!waitUntil(fd, POLLIN, deadline)) return kIOReturnTimeout;
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got > 0) {
            data += got;
            size -= static_cast<std::size_t>(got);
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            return kIOReturnNotResponding;  // hung up, possibly mid-frame
        }
    }
    return kKernSuccess;
}

}  // namespace

// One connection: its socket, reconnected on demand, and one exchange at a time.
class EmulatorSmcService::Link {
  public:
    Link(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}

    kern_return_t exchange(const EmulatorFrame::Bytes& request, EmulatorFrame::Bytes& reply,
                           Clock::time_point deadline) {
        std::lock_guard<std::mutex> lock(mutex_);
        kern_return_t code = fd_.valid() ? kKernSuccess : connectSocket(path_, deadline, fd_);
        if (code == kKernSuccess)
            code = sendAll(fd_.get(), request.data(), request.size(), deadline);
        if (code == kKernSuccess)
            code = receiveAll(fd_.get(), reply.data(), reply.size(), deadline);
        if (code != kKernSuccess) fd_.reset();
        return code;
    }

  private:
    std::string path_;
    std::mutex mutex_;
    UniqueFd fd_;
};

EmulatorSmcService::EmulatorSmcService() : EmulatorSmcService(defaultSocketPath()) {}

EmulatorSmcService::EmulatorSmcService(std::string socketPath)
    : EmulatorSmcService(std::move(socketPath), kDefaultDeadline) {}

EmulatorSmcService::EmulatorSmcService(std::string socketPath, std::chrono::milliseconds deadline)
    : socketPath_(std::move(socketPath)), deadline_(deadline) {}

EmulatorSmcService::~EmulatorSmcService() = default;

std::string EmulatorSmcService::defaultSocketPath() {
    const char* env = std::getenv("LUMORA_SMC_EMULATOR");
    return env != nullptr && *env != '\0' ? env : "/run/lumora/smc-emulator.sock";
}

kern_return_t EmulatorSmcService::getMatchingServices(const std::string& className,
                                                      std::vector<io_service_t>& services) {
    services.clear();
    struct stat info {};
    if (className == "AppleSMC" && ::stat(socketPath_.c_str(), &info) == 0 &&
        S_ISSOCK(info.st_mode)) {
        services.push_back(kEmulatorService);
    }
    return kKernSuccess;
}

void EmulatorSmcService::objectRelease(io_object_t) {}

kern_return_t EmulatorSmcService::serviceOpen(io_service_t service, std::uint32_t type,
                                              io_connect_t& connection) {
    if (service != kEmulatorService) return kMachSendInvalidDest;
    if (type != 0) return kIOReturnBadArgument;
    UniqueFd fd;
    const kern_return_t code = connectSocket(socketPath_, Clock::now() + deadline_, fd);
    if (code != kKernSuccess) return code;
    std::lock_guard<std::mutex> lock(mutex_);
    if (nextHandle_ == 0) ++nextHandle_;  // 0 is never a connection
    connection = nextHandle_++;
    links_.emplace(connection, std::make_shared<Link>(socketPath_, std::move(fd)));
    return kKernSuccess;
}

kern_return_t EmulatorSmcService::serviceClose(io_connect_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    return links_.erase(connection) == 1 ? kKernSuccess : kMachSendInvalidDest;
}

kern_return_t EmulatorSmcService::callStructMethod(io_connect_t connection, std::uint32_t selector,
                                                   const void* input, std::size_t inputSize,
                                                   void* output, std::size_t& outputSize) {
    const std::shared_ptr<Link> link = find(connection);
    if (!link) return kMachSendInvalidDest;
    if (inputSize != sizeof(SMCKeyData_t) || outputSize < sizeof(SMCKeyData_t)) {
        return kIOReturnBadArgument;
    }
    SMCKeyData_t record;
    std::memcpy(static_cast<void*>(&record), input, sizeof(record));
    EmulatorFrame::Bytes reply{};
    const kern_return_t code =
        link->exchange(EmulatorFrame::request(selector, record), reply, Clock::now() + deadline_);
    if (code != kKernSuccess) return code;
    record = EmulatorFrame::record(reply);
    std::memcpy(output, &record, sizeof(record));
    outputSize = sizeof(record);
    return static_cast<kern_return_t>(EmulatorFrame::head(reply));
}

std::shared_ptr<EmulatorSmcService::Link> EmulatorSmcService::find(io_connect_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = links_.find(connection);
    return it == links_.end() ? nullptr : it->second;
}

}  // namespace ampwarden
