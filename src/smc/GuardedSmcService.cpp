#include "smc/GuardedSmcService.h"

#include <algorithm>
#include <cstring>

#include "platform/MachError.h"
#include "smc/SMCKeys.h"

namespace ampwarden {

namespace {

// Past this many remembered answers the stale ones go: the helper asks about a handful of
// keys, a tool walking every key must not make the memory grow with the key table.
constexpr std::size_t kMaxReadings = 256;

bool isRead(std::uint8_t command) {
    return command == rawValue(SMCKeys::readBytes) || command == rawValue(SMCKeys::readKeyInfo) ||
           command == rawValue(SMCKeys::readIndex);
}

}  // namespace

GuardedSmcService::GuardedSmcService(SmcService& device, RunLoop& loop, Diagnostics& log)
    : device_(device), loop_(loop), log_(log) {}

kern_return_t GuardedSmcService::getMatchingServices(const std::string& className,
                                                     std::vector<io_service_t>& services) {
    return device_.getMatchingServices(className, services);
}

void GuardedSmcService::objectRelease(io_object_t object) { device_.objectRelease(object); }

kern_return_t GuardedSmcService::serviceOpen(io_service_t service, std::uint32_t type,
                                             io_connect_t& connection) {
    return device_.serviceOpen(service, type, connection);
}

kern_return_t GuardedSmcService::serviceClose(io_connect_t connection) {
    std::erase_if(readings_, [connection](const auto& entry) {
        return std::get<0>(entry.first) == connection;
    });
    return device_.serviceClose(connection);
}

kern_return_t GuardedSmcService::callStructMethod(io_connect_t connection, std::uint32_t selector,
                                                  const void* input, std::size_t inputSize,
                                                  void* output, std::size_t& outputSize) {
    if (input == nullptr || inputSize != sizeof(SMCKeyData_t) ||
        outputSize != sizeof(SMCKeyData_t)) {
        return stalled_ ? kIOReturnTimeout
                        : device_.callStructMethod(connection, selector, input, inputSize, output,
                                                   outputSize);
    }
    SMCKeyData_t record;
    std::memcpy(&record, input, sizeof record);
    const bool read = isRead(record.data8);
    const Question question{
        connection, selector, record.key, record.data8, record.keyInfo.dataSize, record.data32};
    if (read) {
        const auto found = readings_.find(question);
        if (found != readings_.end() &&
            (stalled_ || (found->second.fresh && backlog_ && backlog_())))
            return answer(found->second, output, outputSize);
    }
    if (stalled_) return kIOReturnTimeout;
    // Whatever a write that reaches the device does, what was read of the key no longer says.
    if (!read) forgetKey(connection, record.key);
    const kern_return_t code =
        device_.callStructMethod(connection, selector, input, inputSize, output, outputSize);
    if (code == kIOReturnTimeout) stall();
    if (code == kKernSuccess && read) remember(question, output, outputSize);
    return code;
}

kern_return_t GuardedSmcService::answer(const Reading& reading, void* output,
                                        std::size_t& outputSize) const {
    std::memcpy(output, &reading.record, sizeof reading.record);
    outputSize = reading.size;
    return kKernSuccess;
}

void GuardedSmcService::remember(const Question& question, const void* output, std::size_t size) {
    if (readings_.size() >= kMaxReadings)
        std::erase_if(readings_, [](const auto& entry) { return !entry.second.fresh; });
    if (readings_.size() >= kMaxReadings) return;
    Reading& reading = readings_[question];
    std::memcpy(&reading.record, output, sizeof reading.record);
    reading.size = size;
    reading.fresh = true;
    if (ageing_) return;
    ageing_ = true;
    std::weak_ptr<bool> alive = alive_;
    loop_.after(kFreshSeconds, [this, alive] {
        if (alive.expired()) return;
        ageing_ = false;
        for (auto& entry : readings_) entry.second.fresh = false;
    });
}

void GuardedSmcService::forgetKey(io_connect_t connection, std::uint32_t key) {
    std::erase_if(readings_, [connection, key](const auto& entry) {
        return std::get<0>(entry.first) == connection && std::get<2>(entry.first) == key &&
               std::get<3>(entry.first) == rawValue(SMCKeys::readBytes);
    });
}

void GuardedSmcService::stall() {
    stalled_ = true;
    log_.systemLog("Ampwarden: the SMC did not answer in time; not asking it again for " +
                   std::to_string(static_cast<int>(kStallSeconds)) + " s");
    std::weak_ptr<bool> alive = alive_;
    loop_.after(kStallSeconds, [this, alive] {
        if (!alive.expired()) stalled_ = false;
    });
}

}  // namespace ampwarden
