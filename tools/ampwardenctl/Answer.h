#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace ampwarden::ctl {

// One value of an answer's dictionary as it travelled: its D-Bus signature and the value.
// Integers of every width are widened; a value of a container type is kept only by signature.
struct AnswerValue {
    using Value =
        std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string>;
    std::string signature;
    Value value;
};

// An answer (the Distributed signal) as received: the name and the dictionary in wire order.
struct Answer {
    std::string name;
    std::vector<std::pair<std::string, AnswerValue>> values;
};

}  // namespace ampwarden::ctl
