#include "platform/ForwardingSmcService.h"

#include <utility>

namespace ampwarden {

ForwardingSmcService::ForwardingSmcService(std::function<SmcService&()> target)
    : target_(std::move(target)) {}

kern_return_t ForwardingSmcService::getMatchingServices(const std::string& className,
                                                        std::vector<io_service_t>& services) {
    return target_().getMatchingServices(className, services);
}

void ForwardingSmcService::objectRelease(io_object_t object) { target_().objectRelease(object); }

kern_return_t ForwardingSmcService::serviceOpen(io_service_t service, std::uint32_t type,
                                                io_connect_t& connection) {
    return target_().serviceOpen(service, type, connection);
}

kern_return_t ForwardingSmcService::serviceClose(io_connect_t connection) {
    return target_().serviceClose(connection);
}

kern_return_t ForwardingSmcService::callStructMethod(io_connect_t connection,
                                                     std::uint32_t selector, const void* input,
                                                     std::size_t inputSize, void* output,
                                                     std::size_t& outputSize) {
    return target_().callStructMethod(connection, selector, input, inputSize, output, outputSize);
}

}  // namespace ampwarden
