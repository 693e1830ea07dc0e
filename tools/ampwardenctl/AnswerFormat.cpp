#include "ampwardenctl/AnswerFormat.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "protocol/CommandProtocol.h"

namespace ampwarden::ctl {
namespace {

std::string escapedControl(char c, bool json) {
    std::array<char, 8> buffer{};
    std::snprintf(buffer.data(), buffer.size(), json ? "\\u%04x" : "\\x%02x",
                  static_cast<unsigned char>(c));
    return buffer.data();
}

// Escapes quotes, backslashes and control characters; bytes from 0x80 up stay as they are.
std::string quoted(std::string_view text, bool json) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    out += escapedControl(c, json);
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string formatDouble(double value, bool json) {
    if (!std::isfinite(value)) return json ? "null" : std::to_string(value);
    std::array<char, 64> buffer{};
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

// The value as text (json = false) or as a JSON literal.
std::string formatValue(const AnswerValue& value, bool json) {
    struct Visitor {
        bool json;
        std::string operator()(std::monostate) const { return json ? "null" : "(not shown)"; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(std::int64_t n) const { return std::to_string(n); }
        std::string operator()(std::uint64_t n) const { return std::to_string(n); }
        std::string operator()(double d) const { return formatDouble(d, json); }
        std::string operator()(const std::string& s) const { return quoted(s, json); }
    };
    return std::visit(Visitor{json}, value.value);
}

}  // namespace

std::string dbusTypeName(std::string_view signature) {
    if (signature.size() != 1) return std::string(signature);
    switch (signature[0]) {
        case 'y':
            return "byte";
        case 'b':
            return "boolean";
        case 'n':
            return "int16";
        case 'q':
            return "uint16";
        case 'i':
            return "int32";
        case 'u':
            return "uint32";
        case 'x':
            return "int64";
        case 't':
            return "uint64";
        case 'd':
            return "double";
        case 's':
            return "string";
        case 'o':
            return "object-path";
        case 'g':
            return "signature";
        case 'h':
            return "unix-fd";
        default:
            return std::string(signature);
    }
}

std::string formatText(const Answer& answer) {
    std::string out = answer.name + "\n";
    for (const auto& [key, value] : answer.values) {
        out += "  " + key + " = " + formatValue(value, false) + " (" +
               dbusTypeName(value.signature) + ")\n";
    }
    return out;
}

std::string formatJson(const Answer& answer) {
    std::string values;
    std::string types;
    for (const auto& [key, value] : answer.values) {
        const char* separator = values.empty() ? "" : ",";
        values += separator + jsonString(key) + ":" + formatValue(value, true);
        types += separator + jsonString(key) + ":" + jsonString(dbusTypeName(value.signature));
    }
    return "{\"name\":" + jsonString(answer.name) + ",\"values\":{" + values + "},\"types\":{" +
           types + "}}";
}

std::string jsonString(std::string_view text) { return quoted(text, true); }

std::string formatProtocolJson() {
    std::string commands;
    for (const protocol::CommandEntry& command : protocol::kCommands) {
        std::string steps;
        for (const protocol::AnswerStep& step : command.answers) {
            if (!step.name) break;
            steps += std::string(steps.empty() ? "" : ",") + "[" + jsonString(step.name) +
                     (step.otherwise ? "," + jsonString(step.otherwise) : "") + "]";
        }
        commands += std::string(commands.empty() ? "" : ",") +
                    "{\"name\":" + jsonString(command.name) +
                    ",\"access\":" + jsonString(protocol::accessName(command.access)) +
                    ",\"verb\":" + jsonString(command.verb) + ",\"answers\":[" + steps + "]}";
    }
    std::string answers;
    for (const protocol::AnswerEntry& answer : protocol::kAnswers) {
        std::string keys;
        for (const protocol::AnswerKey& key : answer.keys) {
            if (!key.name) break;
            keys += std::string(keys.empty() ? "" : ",") + jsonString(key.name) + ":" +
                    jsonString(dbusTypeName(std::string(1, key.type)));
        }
        answers += std::string(answers.empty() ? "" : ",") + jsonString(answer.name) +
                   ":{\"keys\":{" + keys +
                   "},\"reportsWrites\":" + (answer.reportsWrites ? "true" : "false") + "}";
    }
    return "{\"commands\":[" + commands + "],\"answers\":{" + answers + "}}\n";
}

}  // namespace ampwarden::ctl
