#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/SmcService.h"
#include "smc/SMCKeyData_t.h"

namespace ampwarden {

// An SMC answered inside this process: one "AppleSMC" service, connections that are only
// handles, and every struct call one record in and one out, one call at a time. A subclass
// answers the records. Thread-safe.
class InProcessSmcService : public SmcService {
  public:
    // Codes of the seam itself: handle 0 or closed -> MACH_SEND_INVALID_DEST; records of
    // another size than 80 bytes -> kIOReturnBadArgument; another selector ->
    // kIOReturnUnsupported.
    kern_return_t getMatchingServices(const std::string& className,
                                      std::vector<io_service_t>& services) override;
    void objectRelease(io_object_t object) override;
    kern_return_t serviceOpen(io_service_t service, std::uint32_t type,
                              io_connect_t& connection) override;
    kern_return_t serviceClose(io_connect_t connection) override;
    kern_return_t callStructMethod(io_connect_t connection, std::uint32_t selector,
                                   const void* input, std::size_t inputSize, void* output,
                                   std::size_t& outputSize) override;

  protected:
    // One command record; `output` arrives zeroed but for its key and command. Runs with
    // `mutex_` held.
    virtual kern_return_t answer(const SMCKeyData_t& input, SMCKeyData_t& output) = 0;

    std::mutex mutex_;  // one struct call at a time; subclasses guard their own state with it

  private:
    std::set<io_connect_t> connections_;
    io_connect_t nextHandle_ = 1;
};

}  // namespace ampwarden
