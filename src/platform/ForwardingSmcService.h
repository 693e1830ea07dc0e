#pragma once

#include <functional>

#include "platform/SmcService.h"

namespace ampwarden {

// Passes every call on to the service `target` yields at that moment. An SMC can so be built
// on a service that is chosen only when first used, or that changes underneath it.
class ForwardingSmcService : public SmcService {
  public:
    explicit ForwardingSmcService(std::function<SmcService&()> target);

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
    std::function<SmcService&()> target_;
};

}  // namespace ampwarden
