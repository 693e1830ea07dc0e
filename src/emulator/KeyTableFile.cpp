#include "emulator/KeyTableFile.h"

#include <charconv>
#include <vector>

#include "smc/SMCKeyCode.h"
#include "smc/SMCTexts.h"

namespace ampwarden {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits a line into fields; a double-quoted field keeps its blanks. None for an open quote.
std::optional<std::vector<std::string>> splitFields(std::string_view line) {
    std::vector<std::string> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        if (isBlank(line[i])) {
            ++i;
        } else if (line[i] == '"') {
            const std::size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) return std::nullopt;
            fields.emplace_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            std::size_t end = i;
            while (end < line.size() && !isBlank(line[end])) ++end;
            fields.emplace_back(line.substr(i, end - i));
            i = end;
        }
    }
    return fields;
}

bool isComment(std::string_view line) {
    const std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string_view::npos) return true;
    return line[start] == '#' && (start + 1 == line.size() || isBlank(line[start + 1]));
}

std::string padded(std::string text) {
    if (text.size() < 4) text.append(4 - text.size(), ' ');
    return text;
}

std::optional<std::size_t> parseSize(std::string_view text) {
    std::size_t size = 0;
    auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), size);
    if (status != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (size > SmcKeyTable::kMaxDataSize) return std::nullopt;
    return size;
}

// A quote, a tab or a line break could not be written back in a field; any other character
// can, quoted when it is a blank.
bool printable(const std::string& field) {
    return field.find_first_of("\"\t\r\n") == std::string::npos;
}

std::optional<EmulatedKey> fail(std::string& error, std::string message) {
    error = std::move(message);
    return std::nullopt;
}

// One key from the fields of a line; none with `error` set.
std::optional<EmulatedKey> parseKey(const std::vector<std::string>& fields, std::string& error) {
    if (fields.size() < 4 || fields.size() > 5) {
        return fail(error, "expected KEY TYPE SIZE HEXBYTES [ro]");
    }
    EmulatedKey key{padded(fields[0]), padded(fields[1]), {}, fields.size() == 5};
    if (!isValidKey(key.key))
        return fail(error, "key \"" + fields[0] + "\" is not four characters");
    if (!printable(key.key) || !printable(key.dataType))
        return fail(error, "a key or type holds a quote, a tab or a line break");
    if (!isValidKey(key.dataType)) {
        return fail(error, "type \"" + fields[1] + "\" is not four characters");
    }
    const std::optional<std::size_t> size = parseSize(fields[2]);
    if (!size) return fail(error, "size \"" + fields[2] + "\" is not a number from 0 to 32");
    std::optional<std::vector<std::uint8_t>> bytes = KeyTableFile::parseHex(fields[3]);
    if (!bytes || bytes->size() != *size) {
        return fail(
            error, "value \"" + fields[3] + "\" is not " + std::to_string(*size) + " bytes in hex");
    }
    if (key.readOnly && fields[4] != "ro") {
        return fail(error, "unknown flag \"" + fields[4] + "\" (only \"ro\")");
    }
    key.bytes = std::move(*bytes);
    return key;
}

}  // namespace

std::optional<SmcKeyTable> KeyTableFile::parse(std::string_view text, std::string& error) {
    SmcKeyTable table;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        ++lineNumber;
        if (isComment(line)) continue;

        std::string fault;
        auto fields = splitFields(line);
        std::optional<EmulatedKey> key;
        if (!fields) {
            fault = "a quote is not closed";
        } else {
            key = parseKey(*fields, fault);
        }
        if (key && !table.add(*key)) fault = "key \"" + key->key + "\" appears twice";
        if (!fault.empty()) {
            error = "line " + std::to_string(lineNumber) + ": " + fault;
            return std::nullopt;
        }
    }
    table.addKeyCount();
    return table;
}

std::string KeyTableFile::format(const SmcKeyTable& table) {
    std::string text;
    for (const EmulatedKey& key : table.keys()) {
        text += field(key.key) + " " + field(key.dataType) + " " +
                std::to_string(key.bytes.size()) + " " + hex(key.bytes) +
                (key.readOnly ? " ro" : "") + "\n";
    }
    return text;
}

std::string KeyTableFile::field(const std::string& text) {
    return text.find(' ') == std::string::npos ? text : "\"" + text + "\"";
}

std::string KeyTableFile::hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (bytes.empty()) return "-";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> KeyTableFile::parseHex(std::string_view hex) {
    if (hex == "-") return std::vector<std::uint8_t>{};
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        std::uint8_t byte = 0;
        auto [end, status] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
        if (status != std::errc() || end != hex.data() + i + 2) return std::nullopt;
        bytes.push_back(byte);
    }
    return bytes;
}

}  // namespace ampwarden
