#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/SmcService.h"

namespace ampwarden {

// The emulated SMC device, reached through its daemon's socket. The "AppleSMC" service is
// present while the socket exists. Each open connection is one socket; every struct call is
// one request frame and one reply frame on it, within the deadline. A call that times out or
// finds the device gone drops the socket, so a late reply is never taken for the next one;
// the next call on the same handle connects afresh. Thread-safe.
class EmulatorSmcService : public SmcService {
  public:
    static constexpr std::chrono::milliseconds kDefaultDeadline{1000};

    // The socket named by LUMORA_SMC_EMULATOR, else the default path.
    EmulatorSmcService();
    explicit EmulatorSmcService(std::string socketPath);
    EmulatorSmcService(std::string socketPath, std::chrono::milliseconds deadline);
    ~EmulatorSmcService() override;
    EmulatorSmcService(const EmulatorSmcService&) = delete;
    EmulatorSmcService& operator=(const EmulatorSmcService&) = delete;

    static std::string defaultSocketPath();
    const std::string& socketPath() const { return socketPath_; }

    // Codes: no socket file -> no service; connecting to a socket nobody serves ->
    // kIOReturnNotResponding; handle 0 or closed -> MACH_SEND_INVALID_DEST; records of another
    // size than 80 bytes -> kIOReturnBadArgument; no whole reply within the deadline ->
    // kIOReturnTimeout; the device hung up -> kIOReturnNotResponding.
    kern_return_t getMatchingServices(const std::string& className,
                                      std::vector<io_service_t>& services) override;
    void objectRelease(io_object_t object) override;
    kern_return_t serviceOpen(io_service_t service, std::uint32_t type,
                              io_connect_t& connection) override;
    kern_return_t serviceClose(io_connect_t connection) override;
    kern_return_t callStructMethod(io_connect_t connection, std::uint32_t selector,
                                   const void* input, std::size_t inputSize, void* output,
                                   std::size_t& outputSize) override;

  private:
    class Link;

    std::shared_ptr<Link> find(io_connect_t connection);

    std::string socketPath_;
    std::chrono::milliseconds deadline_;
    std::mutex mutex_;  // guards links_ and nextHandle_
    std::map<io_connect_t, std::shared_ptr<Link>> links_;
    io_connect_t nextHandle_ = 1;
};

}  // namespace ampwarden
