// Placeholder so the tree links while the SMC layer is written.
#include "smc/SMC.h"

namespace ampwarden {

SMC::SMC() = default;
SMC::~SMC() = default;

SMC& SMC::shared() {
    static SMC instance;
    return instance;
}

kern_return_t SMC::open() { return 1; }
kern_return_t SMC::close() { return 0; }
std::optional<double> SMC::getValue(const std::string&) { return std::nullopt; }
std::optional<std::string> SMC::getStringValue(const std::string&) { return std::nullopt; }
std::vector<std::string> SMC::getAllKeys() { return {}; }
kern_return_t SMC::writeFpe2(const std::string&, std::int64_t) { return 1; }
void SMC::setFanMode(std::int64_t, FanMode) {}
void SMC::setFanSpeed(std::int64_t, std::int64_t) {}
void SMC::resetFanModes() {}
bool SMC::isCHBIReadable() { return false; }
std::optional<std::int64_t> SMC::readByteValue(const std::string&) { return std::nullopt; }
void SMC::writeByteValue(const std::string&, std::int64_t) {}
kern_return_t SMC::read(SMCVal_t&) { return 1; }
kern_return_t SMC::write(const SMCVal_t&) { return 1; }

}  // namespace ampwarden
