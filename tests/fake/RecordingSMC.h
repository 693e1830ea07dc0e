#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fake/FakePlatform.h"
#include "fake/FakeRunLoop.h"
#include "platform/MachError.h"
#include "smc/SMC.h"

namespace ampwarden::test {

// One-byte charge keys in memory; every write is recorded with its virtual time in ms. Like
// the device, it answers only while connected: a write without a connection is recorded but
// changes nothing, a read yields none.
class RecordingSMC : public SMC {
  public:
    struct Write {
        std::string key;
        std::int64_t value = 0;
        std::int64_t millis = 0;
        bool connected = true;
        bool operator==(const Write&) const = default;
    };

    explicit RecordingSMC(FakePlatform& fake) : SMC(fake.smc(), fake.log), clock_(fake.clock) {}

    kern_return_t open() override {
        ++opens;
        connected = connected || openResult == 0;
        return openResult;
    }
    kern_return_t close() override {
        ++closes;
        connected = false;
        return closeResult;
    }
    std::optional<std::int64_t> readByteValue(const std::string& key) override {
        return connected ? std::optional(values.at(key)) : std::nullopt;
    }
    kern_return_t writeByteValue(const std::string& key, std::int64_t value) override {
        const kern_return_t code = failing.count(key) == 1 ? failing.at(key) : 0;
        writes.push_back({key, value, std::llround(clock_.now() * 1000), connected});
        if (code == 0 && connected) values[key] = value;
        return code != 0 || connected ? code : kMachSendInvalidDest;
    }
    kern_return_t writeByteValueQuietly(const std::string& key, std::int64_t value) override {
        return writeByteValue(key, value);
    }

    std::map<std::string, std::int64_t> values = {
        {"BCLM", 100}, {"CH0B", 0}, {"CH0C", 0}, {"CH0I", 0}};
    std::vector<Write> writes;
    bool connected = false;
    kern_return_t openResult = 0, closeResult = 0;
    int opens = 0, closes = 0;
    std::map<std::string, kern_return_t> failing;  // keys whose writes fail, and the code

  private:
    const FakeRunLoop& clock_;
};

inline std::ostream& operator<<(std::ostream& out, const RecordingSMC::Write& w) {
    return out << w.key << ":=" << w.value << "@" << w.millis
               << (w.connected ? "ms" : "ms(closed)");
}

}  // namespace ampwarden::test
