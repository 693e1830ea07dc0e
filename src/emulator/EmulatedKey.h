#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ampwarden {

// One key of the emulated SMC.
struct EmulatedKey {
    std::string key;                  // four characters, trailing blanks included
    std::string dataType;             // four characters, e.g. "ui8 ", "fpe2", "{fds"
    std::vector<std::uint8_t> bytes;  // the value; its length is the key's data size (<= 32)
    bool readOnly = false;
};

}  // namespace ampwarden
