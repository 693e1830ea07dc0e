#include "platform/LocalNotificationCenter.h"

namespace ampwarden {

LocalNotificationCenter::Token LocalNotificationCenter::addObserver(const std::string& name,
                                                                    Callback callback) {
    auto token = std::make_shared<const Observation>(Observation{name, std::move(callback)});
    observations_.push_back(token);
    return token;
}

void LocalNotificationCenter::postNotificationName(const std::string& name) {
    // A copy, so an observer may add observers while the name is delivered.
    const auto observations = observations_;
    for (const auto& observation : observations) {
        if (observation->name == name) observation->callback();
    }
}

}  // namespace ampwarden
