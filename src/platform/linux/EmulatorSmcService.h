#pragma once

#include <string>

#include "platform/SmcService.h"

namespace ampwarden {

// The emulated SMC device, reached through its daemon's socket. The "AppleSMC" service is
// present while the socket exists.
class EmulatorSmcService : public SmcService {
  public:
    // The socket named by LUMORA_SMC_EMULATOR, else the default path.
    EmulatorSmcService();
    explicit EmulatorSmcService(std::string socketPath);
    ~EmulatorSmcService() override;

    static std::string defaultSocketPath();

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
    std::string socketPath_;
};

}  // namespace ampwarden
