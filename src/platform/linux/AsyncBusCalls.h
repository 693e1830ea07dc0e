#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/SdPointers.h"

namespace ampwarden {

// Method calls whose replies come back on the loop the bus is attached to, each with its own
// timeout, so nobody waits on the bus with the loop held. Destroying it cancels every call
// still waiting: their callbacks never run.
class AsyncBusCalls {
  public:
    struct Reply {
        sd_bus_message* message = nullptr;  // the reply; null when the call failed
        std::string errorName;              // the D-Bus error name on failure
        std::string errorMessage;
        bool ok() const { return message != nullptr; }
        std::string failure() const;
    };
    using Callback = std::function<void(const Reply&)>;

    // `bus` may be null: then every call fails at once.
    explicit AsyncBusCalls(sd_bus* bus);
    ~AsyncBusCalls();
    AsyncBusCalls(const AsyncBusCalls&) = delete;
    AsyncBusCalls& operator=(const AsyncBusCalls&) = delete;

    // A method call to fill in; null without a bus or when it cannot be built.
    sd::MessagePtr newCall(const char* destination, const char* path, const char* interface,
                           const char* member);
    // Sends `request` (null counts as a failure) and answers exactly once: with the reply,
    // with the error, or with a timeout after `timeoutUsec`. A call that cannot be sent
    // answers before this returns.
    void call(sd::MessagePtr request, std::uint64_t timeoutUsec, Callback done);

  private:
    struct Pending {
        AsyncBusCalls* owner = nullptr;
        std::uint64_t id = 0;
        sd::SlotPtr slot;
        Callback done;
    };

    static int onReply(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static void handleReply(sd_bus_message* message, void* userdata);

    sd_bus* bus_;
    std::uint64_t nextId_ = 0;
    std::map<std::uint64_t, std::unique_ptr<Pending>> pending_;
    // Slots of answered calls, released on a later call rather than inside their own callback.
    std::vector<sd::SlotPtr> answered_;
};

}  // namespace ampwarden
