// Placeholder so the tree links while the emulator service is written.
#include "platform/linux/EmulatorSmcService.h"

#include <cstdlib>

#include "platform/MachError.h"

namespace ampwarden {

EmulatorSmcService::EmulatorSmcService() : socketPath_(defaultSocketPath()) {}
EmulatorSmcService::EmulatorSmcService(std::string socketPath)
    : socketPath_(std::move(socketPath)) {}
EmulatorSmcService::~EmulatorSmcService() = default;

std::string EmulatorSmcService::defaultSocketPath() {
    const char* env = std::getenv("LUMORA_SMC_EMULATOR");
    return env != nullptr && *env != '\0' ? env : "/run/lumora/smc-emulator.sock";
}

kern_return_t EmulatorSmcService::getMatchingServices(const std::string&,
                                                      std::vector<io_service_t>& services) {
    services.clear();
    return kKernSuccess;
}
void EmulatorSmcService::objectRelease(io_object_t) {}
kern_return_t EmulatorSmcService::serviceOpen(io_service_t, std::uint32_t, io_connect_t&) {
    return kIOReturnNotResponding;
}
kern_return_t EmulatorSmcService::serviceClose(io_connect_t) { return kMachSendInvalidDest; }
kern_return_t EmulatorSmcService::callStructMethod(io_connect_t, std::uint32_t, const void*,
                                                   std::size_t, void*, std::size_t&) {
    return kMachSendInvalidDest;
}

}  // namespace ampwarden
