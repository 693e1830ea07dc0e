#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/SmcKeyTable.h"

namespace ampwarden {

// The plain-text form of a key table, one key per line:
//
//     KEY TYPE SIZE HEXBYTES [ro]
//
// Fields are separated by blanks or tabs. A KEY or TYPE shorter than four characters is
// padded with blanks ("FS!" is the key "FS! ", "ui8" the type "ui8 "); a field may also be
// written in double quotes to keep its blanks ("FS! "). SIZE is 0 to 32; HEXBYTES holds
// exactly SIZE bytes as hex digits ("1f40"), or "-" for none. "ro" makes the key read-only.
// Empty lines and lines starting with "# " are ignored. When the file has no "#KEY", one is
// put first holding the number of keys.
class KeyTableFile {
  public:
    // The table in `text`; none with `error` naming the line and the fault.
    static std::optional<SmcKeyTable> parse(std::string_view text, std::string& error);

    // The table as text that parse() reads back to the same table.
    static std::string format(const SmcKeyTable& table);

    // The pieces of a line: a key or type, quoted when it holds a blank; bytes in hex.
    static std::string field(const std::string& text);
    static std::string hex(const std::vector<std::uint8_t>& bytes);
    // Bytes from pairs of hex digits ("1f40"); "-" is no bytes. None for anything else.
    static std::optional<std::vector<std::uint8_t>> parseHex(std::string_view hex);
};

}  // namespace ampwarden
