#include "platform/linux/AsyncBusCalls.h"

#include <cstring>
#include <utility>

#include "platform/linux/CallbackGuard.h"

namespace ampwarden {

std::string AsyncBusCalls::Reply::failure() const {
    if (errorMessage.empty()) return errorName;
    return errorName.empty() ? errorMessage : errorName + ": " + errorMessage;
}

AsyncBusCalls::AsyncBusCalls(sd_bus* bus) : bus_(bus) {}

AsyncBusCalls::~AsyncBusCalls() = default;

sd::MessagePtr AsyncBusCalls::newCall(const char* destination, const char* path,
                                      const char* interface, const char* member) {
    if (bus_ == nullptr) return nullptr;
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus_, &raw, destination, path, interface, member) < 0) {
        return nullptr;
    }
    return sd::MessagePtr(raw);
}

void AsyncBusCalls::call(sd::MessagePtr request, std::uint64_t timeoutUsec, Callback done) {
    answered_.clear();
    if (!request) {
        done({nullptr, "", "no connection to the system bus"});
        return;
    }
    auto pending = std::make_unique<Pending>();
    pending->owner = this;
    pending->id = ++nextId_;
    pending->done = std::move(done);
    sd_bus_slot* slot = nullptr;
    const int r =
        sd_bus_call_async(bus_, &slot, request.get(), onReply, pending.get(), timeoutUsec);
    if (r < 0) {
        pending->done({nullptr, "", std::string("cannot send: ") + std::strerror(-r)});
        return;
    }
    pending->slot.reset(slot);
    const std::uint64_t id = pending->id;
    pending_.emplace(id, std::move(pending));
}

int AsyncBusCalls::onReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
    return CallbackGuard::run(message, "a bus reply handler",
                              [message, userdata] { handleReply(message, userdata); });
}

void AsyncBusCalls::handleReply(sd_bus_message* message, void* userdata) {
    auto* pending = static_cast<Pending*>(userdata);
    AsyncBusCalls* self = pending->owner;
    auto node = self->pending_.extract(pending->id);
    if (node.empty()) return;
    self->answered_.push_back(std::move(node.mapped()->slot));
    Reply reply;
    const sd_bus_error* error = sd_bus_message_get_error(message);
    if (error != nullptr) {
        reply.errorName = error->name != nullptr ? error->name : "";
        reply.errorMessage = error->message != nullptr ? error->message : "";
    } else {
        reply.message = message;
    }
    node.mapped()->done(reply);
}

}  // namespace ampwarden
