#include "platform/linux/InProcessSmcService.h"

#include <cstring>

#include "platform/MachError.h"
#include "smc/SMCKeys.h"
#include "smc/SMCTexts.h"

namespace ampwarden {

namespace {
constexpr io_service_t kTheService = 1;
}

kern_return_t InProcessSmcService::getMatchingServices(const std::string& className,
                                                       std::vector<io_service_t>& services) {
    services.clear();
    if (className == smctext::kServiceClass) services.push_back(kTheService);
    return kKernSuccess;
}

void InProcessSmcService::objectRelease(io_object_t) {}

kern_return_t InProcessSmcService::serviceOpen(io_service_t service, std::uint32_t type,
                                               io_connect_t& connection) {
    if (service != kTheService) return kMachSendInvalidDest;
    if (type != 0) return kIOReturnBadArgument;
    std::lock_guard<std::mutex> guard(mutex_);
    if (nextHandle_ == 0) ++nextHandle_;  // 0 is never a connection
    connection = nextHandle_++;
    connections_.insert(connection);
    return kKernSuccess;
}

kern_return_t InProcessSmcService::serviceClose(io_connect_t connection) {
    std::lock_guard<std::mutex> guard(mutex_);
    return connections_.erase(connection) == 1 ? kKernSuccess : kMachSendInvalidDest;
}

kern_return_t InProcessSmcService::callStructMethod(io_connect_t connection, std::uint32_t selector,
                                                    const void* input, std::size_t inputSize,
                                                    void* output, std::size_t& outputSize) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (connections_.count(connection) == 0) return kMachSendInvalidDest;
    if (inputSize != sizeof(SMCKeyData_t) || outputSize < sizeof(SMCKeyData_t)) {
        return kIOReturnBadArgument;
    }
    if (selector != rawValue(SMCKeys::kernelIndex)) return kIOReturnUnsupported;
    SMCKeyData_t request;
    std::memcpy(static_cast<void*>(&request), input, sizeof(request));
    SMCKeyData_t reply;
    reply.key = request.key;
    reply.data8 = request.data8;
    const kern_return_t code = answer(request, reply);
    std::memcpy(output, &reply, sizeof(reply));
    outputSize = sizeof(reply);
    return code;
}

}  // namespace ampwarden
