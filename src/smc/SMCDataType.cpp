#include "smc/SMCDataType.h"

#include <array>
#include <utility>

namespace ampwarden {

namespace {

constexpr std::array<std::pair<SMCDataType, std::string_view>, 17> kRawValues = {{
    {SMCDataType::UI8, "ui8 "},
    {SMCDataType::UI16, "ui16"},
    {SMCDataType::UI32, "ui32"},
    {SMCDataType::SP1E, "sp1e"},
    {SMCDataType::SP3C, "sp3c"},
    {SMCDataType::SP4B, "sp5b"},
    {SMCDataType::SP5A, "sp5a"},
    {SMCDataType::SP69, "sp669"},
    {SMCDataType::SP78, "sp78"},
    {SMCDataType::SP87, "sp87"},
    {SMCDataType::SP96, "sp96"},
    {SMCDataType::SPB4, "spb4"},
    {SMCDataType::SPF0, "spf0"},
    {SMCDataType::FLT, "flt "},
    {SMCDataType::FPE2, "fpe2"},
    {SMCDataType::FP2E, "fp2e"},
    {SMCDataType::FDS, "{fds"},
}};

}  // namespace

std::string_view rawValue(SMCDataType type) {
    for (const auto& [candidate, raw] : kRawValues) {
        if (candidate == type) return raw;
    }
    return {};
}

std::optional<SMCDataType> smcDataTypeFromRaw(std::string_view text) {
    for (const auto& [type, raw] : kRawValues) {
        if (raw == text) return type;
    }
    return std::nullopt;
}

}  // namespace ampwarden
