#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/PortIo.h"
#include "platform/linux/InProcessSmcService.h"
#include "platform/linux/UniqueFd.h"
#include "smc/SMCKeyData_t.h"
#include "smc/SmcPortProtocol.h"

namespace ampwarden {

// The SMC reached through its I/O ports: each struct call becomes one or more port
// transactions. Key information never changes, so it is asked once per key and kept. A write
// checks the key's size and writability first and reads the value back afterwards; a cut-off
// or mismatching write is tried again a few times and then fails, never reported as done.
// Our own transactions are serialised across processes with a lock file; the kernel's SMC
// driver, if loaded, is not party to that lock, hence the read-back. Thread-safe.
class PortIoSmcService : public InProcessSmcService {
  public:
    static constexpr int kWriteAttempts = 3;
    static constexpr std::chrono::milliseconds kLockBudget{1000};
    static constexpr std::uint32_t kMostKeys = 8192;  // more than any SMC has

    // `lockPath` empty: no lock file (a process of its own, e.g. a test).
    PortIoSmcService(std::unique_ptr<PortIo> ports, std::string lockPath,
                     SmcPortProtocol::Timing timing = {});
    ~PortIoSmcService() override;
    PortIoSmcService(const PortIoSmcService&) = delete;
    PortIoSmcService& operator=(const PortIoSmcService&) = delete;

    static std::string defaultLockPath();

    // Whether an SMC answers on the ports: a sane status and a plausible key count; when not,
    // `why` says why not.
    bool probe(std::string& why);

  protected:
    // Codes beyond a device's own: the lock file held too long by another process ->
    // kIOReturnBusy, not to be had at all -> kIOReturnNotPermitted.
    kern_return_t answer(const SMCKeyData_t& input, SMCKeyData_t& output) override;

  private:
    kern_return_t lockOut();
    void unlock();
    kern_return_t call(const SMCKeyData_t& input, SMCKeyData_t& output);
    kern_return_t keyInfo(std::uint32_t key, SmcPortProtocol::KeyInfo& info, SMCKeyData_t& output);
    kern_return_t readKeyInfo(const SMCKeyData_t& input, SMCKeyData_t& output);
    kern_return_t readBytes(const SMCKeyData_t& input, SMCKeyData_t& output);
    kern_return_t writeBytes(const SMCKeyData_t& input, SMCKeyData_t& output);
    kern_return_t readIndex(const SMCKeyData_t& input, SMCKeyData_t& output);
    kern_return_t writeOnce(std::uint32_t key, const std::uint8_t* bytes, std::size_t size,
                            bool readBack);

    std::unique_ptr<PortIo> ports_;
    SmcPortProtocol protocol_;
    std::string lockPath_;
    UniqueFd lockFd_;
    std::unordered_map<std::uint32_t, SmcPortProtocol::KeyInfo> infos_;
};

}  // namespace ampwarden
