#pragma once

#include <optional>
#include <string_view>

namespace ampwarden {

// The SMC's data-type codes that the helper knows. Each case stands for its raw text.
enum class SMCDataType {
    UI8,
    UI16,
    UI32,
    SP1E,
    SP3C,
    SP4B,
    SP5A,
    SP69,
    SP78,
    SP87,
    SP96,
    SPB4,
    SPF0,
    FLT,
    FPE2,
    FP2E,
    FDS,
};

// The raw text of a case. Four characters, except SP69's five-character "sp669", which no
// data type read from the SMC can equal; SP4B's raw text is "sp5b".
std::string_view rawValue(SMCDataType type);

// The case whose raw text equals `text` exactly; none for any other text.
std::optional<SMCDataType> smcDataTypeFromRaw(std::string_view text);

}  // namespace ampwarden
