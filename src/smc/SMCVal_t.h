#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ampwarden {

// One SMC key's value inside the process: what `SMC::read` fills in and `SMC::write` sends.
struct SMCVal_t {
    SMCVal_t() = default;
    explicit SMCVal_t(std::string k) : key(std::move(k)) {}

    std::string key;             // exactly four characters, trailing blanks included
    std::uint32_t dataSize = 0;  // meaningful bytes in `bytes`
    std::string dataType;        // four characters once read, empty before
    std::array<std::uint8_t, 32> bytes{};
};

}  // namespace ampwarden
