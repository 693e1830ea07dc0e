#include "smc/SMCKeys.h"

namespace ampwarden {

std::optional<SMCKeys> smcKeysFromRaw(std::uint8_t raw) {
    switch (static_cast<SMCKeys>(raw)) {
        case SMCKeys::kernelIndex:
        case SMCKeys::readBytes:
        case SMCKeys::writeBytes:
        case SMCKeys::readIndex:
        case SMCKeys::readKeyInfo:
        case SMCKeys::readPLimit:
        case SMCKeys::readVers:
            return static_cast<SMCKeys>(raw);
    }
    return std::nullopt;
}

}  // namespace ampwarden
