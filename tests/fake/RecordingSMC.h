#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fake/FakeRunLoop.h"
#include "smc/SMC.h"

namespace ampwarden::test {

// An SMC with a few one-byte keys in memory that records every write with the virtual time.
// Like the real device it only answers while a connection is open: a write without one is
// recorded (it was attempted) but changes nothing, a read without one yields none.
class RecordingSMC : public SMC {
  public:
    struct Write {
        std::string key;
        std::int64_t value = 0;
        std::int64_t millis = 0;  // virtual time of the write
        bool connected = true;
        bool operator==(const Write&) const = default;
    };

    explicit RecordingSMC(const FakeRunLoop& clock) : clock_(clock) {}

    kern_return_t open() override {
        ++opens;
        if (openResult == 0) connected = true;
        return openResult;
    }
    kern_return_t close() override {
        ++closes;
        connected = false;
        return closeResult;
    }
    std::optional<std::int64_t> readByteValue(const std::string& key) override {
        if (!connected || unreadable == key || !values.count(key)) return std::nullopt;
        return values[key];
    }
    void writeByteValue(const std::string& key, std::int64_t value) override {
        writes.push_back({key, value, std::llround(clock_.now() * 1000), connected});
        if (connected) values[key] = value;
    }

    // The keys of an Intel laptop's charge control, as the firmware leaves them.
    std::map<std::string, std::int64_t> values = {
        {"BCLM", 100}, {"CH0B", 0}, {"CH0C", 0}, {"CH0I", 0}};
    std::vector<Write> writes;
    bool connected = false;
    kern_return_t openResult = 0;
    kern_return_t closeResult = 0;
    std::string unreadable;  // a key whose reads fail even while connected
    int opens = 0;
    int closes = 0;

  private:
    const FakeRunLoop& clock_;
};

inline std::ostream& operator<<(std::ostream& out, const RecordingSMC::Write& w) {
    return out << w.key << ":=" << w.value << "@" << w.millis << "ms"
               << (w.connected ? "" : "(no connection)");
}

}  // namespace ampwarden::test
