#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ampwarden {

using kern_return_t = std::int32_t;
using io_object_t = std::uint32_t;
using io_service_t = io_object_t;
using io_connect_t = std::uint32_t;

// The shape of the kernel's SMC user client: find the services of a class, open a
// connection to one, exchange fixed-size records with it, close it. Return codes are the
// kernel's (0 = success); see MachError.h for the codes a backend uses.
class SmcService {
  public:
    virtual ~SmcService() = default;
    // Fills `services` with the services of that class, first one first.
    virtual kern_return_t getMatchingServices(const std::string& className,
                                              std::vector<io_service_t>& services) = 0;
    virtual void objectRelease(io_object_t object) = 0;
    virtual kern_return_t serviceOpen(io_service_t service, std::uint32_t type,
                                      io_connect_t& connection) = 0;
    virtual kern_return_t serviceClose(io_connect_t connection) = 0;
    // One struct call: `inputSize` bytes in, up to `outputSize` bytes out (updated to the
    // size written).
    virtual kern_return_t callStructMethod(io_connect_t connection, std::uint32_t selector,
                                           const void* input, std::size_t inputSize, void* output,
                                           std::size_t& outputSize) = 0;
};

}  // namespace ampwarden
