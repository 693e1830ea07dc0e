#include "emulator/SmcKeyTable.h"

#include "smc/SMCKeyCode.h"
#include "smc/SMCTexts.h"

namespace ampwarden {

namespace {

EmulatedKey key(const char* name, const char* type, std::vector<std::uint8_t> bytes,
                bool readOnly = false) {
    return EmulatedKey{name, type, std::move(bytes), readOnly};
}

// A fan descriptor: type, zone, location, a reserved byte, then a 12-character name.
std::vector<std::uint8_t> fanDescriptor(std::string_view name) {
    std::vector<std::uint8_t> bytes = {0x00, 0x00, 0x00, 0x00};
    for (std::size_t i = 0; i < 12; ++i) {
        bytes.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : ' ');
    }
    return bytes;
}

}  // namespace

SmcKeyTable SmcKeyTable::intelLaptop() {
    constexpr bool ro = true;
    SmcKeyTable table;
    for (auto& entry : {
             key("AC-W", "ui8 ", {0x01}, ro),
             key("ACLC", "ui8 ", {0x04}),
             key("BBIF", "ui8 ", {0x5A}, ro),
             key("BCLC", "ui8 ", {0x00}),
             key("BCLM", "ui8 ", {0x64}),
             key("CH0B", "hex_", {0x00}),
             key("CH0C", "hex_", {0x00}),
             key("CH0I", "hex_", {0x00}),
             key("CH0K", "ui8 ", {0x00}),
             key("CHBI", "ui32", {0x00, 0x00, 0x00, 0x00}, ro),
             key("F0Ac", "fpe2", {0x1F, 0x40}, ro),  // 2000 rpm
             key("F0ID", "{fds", fanDescriptor("Left side"), ro),
             key("F0Md", "ui8 ", {0x00}),
             key("F0Mx", "fpe2", {0x60, 0xE0}, ro),  // 6200 rpm
             key("F0Tg", "fpe2", {0x1F, 0x40}),      // 2000 rpm
             key("F1Ac", "fpe2", {0x1F, 0x40}, ro),
             key("F1ID", "{fds", fanDescriptor("Right side"), ro),
             key("F1Md", "ui8 ", {0x00}),
             key("F1Mx", "fpe2", {0x5C, 0x30}, ro),  // 5900 rpm
             key("F1Tg", "fpe2", {0x1F, 0x40}),
             key("FNum", "ui8 ", {0x02}, ro),
             key("FS! ", "ui16", {0x00, 0x00}),
             key("TA0P", "sp78", {0x1A, 0x80}, ro),  // 26.5 °C
             key("TB0T", "sp78", {0x1E, 0x40}, ro),  // 30.25 °C
             key("TC0P", "sp78", {0x2D, 0x80}, ro),  // 45.5 °C
         }) {
        table.add(entry);
    }
    table.addKeyCount();
    return table;
}

bool SmcKeyTable::add(EmulatedKey entry) {
    if (!isValidKey(entry.key) || !isValidKey(entry.dataType)) return false;
    if (entry.bytes.size() > kMaxDataSize || find(entry.key) != nullptr) return false;
    index_.emplace(toUInt32(entry.key), keys_.size());
    keys_.push_back(std::move(entry));
    return true;
}

void SmcKeyTable::addKeyCount() {
    if (find(smctext::kKeyCountKey) != nullptr) return;
    const auto count = static_cast<std::uint32_t>(keys_.size() + 1);
    keys_.insert(
        keys_.begin(),
        EmulatedKey{smctext::kKeyCountKey,
                    "ui32",
                    {static_cast<std::uint8_t>(count >> 24), static_cast<std::uint8_t>(count >> 16),
                     static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)},
                    true});
    reindex();
}

const EmulatedKey* SmcKeyTable::find(std::uint32_t code) const {
    auto it = index_.find(code);
    return it == index_.end() ? nullptr : &keys_[it->second];
}

EmulatedKey* SmcKeyTable::find(std::uint32_t code) {
    auto it = index_.find(code);
    return it == index_.end() ? nullptr : &keys_[it->second];
}

const EmulatedKey* SmcKeyTable::find(std::string_view key) const {
    return isValidKey(key) ? find(toUInt32(key)) : nullptr;
}

void SmcKeyTable::reindex() {
    index_.clear();
    for (std::size_t i = 0; i < keys_.size(); ++i) index_.emplace(toUInt32(keys_[i].key), i);
}

}  // namespace ampwarden
