#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "emulator/EmulatedKey.h"

namespace ampwarden {

// The keys of an emulated SMC in index order, found by key in constant time.
class SmcKeyTable {
  public:
    static constexpr std::size_t kMaxDataSize = 32;

    // A two-fan Intel laptop: charge control, fans, a few temperatures, in key order.
    static SmcKeyTable intelLaptop();

    // Appends a key. False (and nothing added) for a duplicate, a key or data type that is not
    // four characters, or a value longer than kMaxDataSize.
    bool add(EmulatedKey key);

    // Puts "#KEY" first, holding the number of keys, unless the table has its own "#KEY".
    void addKeyCount();

    const EmulatedKey* find(std::uint32_t code) const;
    EmulatedKey* find(std::uint32_t code);
    const EmulatedKey* find(std::string_view key) const;
    const std::vector<EmulatedKey>& keys() const { return keys_; }
    std::size_t size() const { return keys_.size(); }

  private:
    void reindex();

    std::vector<EmulatedKey> keys_;
    std::unordered_map<std::uint32_t, std::size_t> index_;
};

}  // namespace ampwarden
