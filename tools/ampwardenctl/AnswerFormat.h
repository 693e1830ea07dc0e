#pragma once

#include <string>
#include <string_view>

#include "ampwardenctl/Answer.h"

namespace ampwarden::ctl {

// A readable name for a D-Bus signature: "int32", "string", ...; a container type keeps its
// signature ("as").
std::string dbusTypeName(std::string_view signature);

// The answer's name, then one line per value: `  key = value (type)`. Strings are quoted.
// Ends with a newline.
std::string formatText(const Answer& answer);

// One JSON object on one line: {"name":...,"values":{...},"types":{...}}, keys in wire order.
// A value that cannot be shown is null.
std::string formatJson(const Answer& answer);

// The protocol table as one JSON object, for the end-to-end tests: {"commands":[{"name",
// "access","verb","answers":[[name, ...], ...]}, ...], "answers":{name:{"keys":{key:type},
// "reportsWrites":bool}}}, types named as dbusTypeName() names them.
std::string formatProtocolJson();

// `text` as a JSON string literal, quotes included. UTF-8 passes through unchanged.
std::string jsonString(std::string_view text);

}  // namespace ampwarden::ctl
