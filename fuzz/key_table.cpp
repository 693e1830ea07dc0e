// Key-table files: whatever parses is printed, and the printed text reads back to the same
// table (printed again, it is the same text).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "emulator/KeyTableFile.h"

using namespace ampwarden;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto table = KeyTableFile::parse(text, error);
    if (!table) return 0;
    const std::string printed = KeyTableFile::format(*table);
    const auto again = KeyTableFile::parse(printed, error);
    if (!again || KeyTableFile::format(*again) != printed) std::abort();
    return 0;
}
