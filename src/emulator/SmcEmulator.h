#pragma once

#include <cstdint>
#include <functional>

#include "emulator/EmulatorFrame.h"
#include "emulator/SmcKeyTable.h"
#include "platform/SmcService.h"
#include "smc/SMCKeyData_t.h"

namespace ampwarden {

// An SMC device in memory: answers the user client's struct calls from its key table the way
// the firmware does. Not thread-safe; one caller at a time.
class SmcEmulator {
  public:
    using WriteObserver = std::function<void(const EmulatedKey& key)>;

    explicit SmcEmulator(SmcKeyTable table = SmcKeyTable::intelLaptop());

    // One struct call. Selector 2 with the commands readKeyInfo, readBytes, writeBytes and
    // readIndex; anything else is unsupported. `output` is filled from zero.
    kern_return_t call(std::uint32_t selector, const SMCKeyData_t& input, SMCKeyData_t& output);

    // The same call as a socket frame in and out.
    EmulatorFrame::Bytes answer(const EmulatorFrame::Bytes& request);

    // Runs after every successful write, with the key as written.
    void setWriteObserver(WriteObserver observer) { writeObserver_ = std::move(observer); }

    const SmcKeyTable& table() const { return table_; }

  private:
    kern_return_t readKeyInfo(const SMCKeyData_t& input, SMCKeyData_t& output) const;
    kern_return_t readBytes(const SMCKeyData_t& input, SMCKeyData_t& output) const;
    kern_return_t writeBytes(const SMCKeyData_t& input, SMCKeyData_t& output);
    kern_return_t readIndex(const SMCKeyData_t& input, SMCKeyData_t& output) const;

    SmcKeyTable table_;
    WriteObserver writeObserver_;
};

}  // namespace ampwarden
