#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/KeyTableFile.h"
#include "emulator/SmcEmulator.h"
#include "platform/MachError.h"
#include "platform/SmcService.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeys.h"

namespace ampwarden::test {

// An SMC service backed by the in-process emulated device. Records every struct call, and lets
// a test fail any call, or any step of opening, on cue.
class FakeSmcDevice : public SmcService {
  public:
    static constexpr io_service_t kService = 0x2303;
    static constexpr io_connect_t kFirstConnection = 0x1a03;

    FakeSmcDevice() = default;
    // A device with the keys of a key-table text (see KeyTableFile) instead of the laptop's.
    explicit FakeSmcDevice(std::string_view keyTable) {
        std::string error;
        auto table = KeyTableFile::parse(keyTable, error);
        if (!table) throw std::invalid_argument("bad key table in test: " + error);
        device = SmcEmulator(*table);
    }

    kern_return_t getMatchingServices(const std::string& className,
                                      std::vector<io_service_t>& services) override {
        services.clear();
        if (present && className == "AppleSMC") services.push_back(kService);
        return matchingResult;
    }
    void objectRelease(io_object_t object) override { released.push_back(object); }
    kern_return_t serviceOpen(io_service_t service, std::uint32_t type,
                              io_connect_t& connection) override {
        if (openResult != kKernSuccess) return openResult;
        if (service != kService || type != 0) return kIOReturnBadArgument;
        connected.insert(connection = nextConnection++);
        return kKernSuccess;
    }
    kern_return_t serviceClose(io_connect_t connection) override {
        return connected.erase(connection) == 1 ? kKernSuccess : kMachSendInvalidDest;
    }
    kern_return_t callStructMethod(io_connect_t connection, std::uint32_t selector,
                                   const void* input, std::size_t inputSize, void* output,
                                   std::size_t& outputSize) override {
        SMCKeyData_t& call = calls.emplace_back();
        std::memcpy(static_cast<void*>(&call), input, std::min(inputSize, sizeof(SMCKeyData_t)));
        lastConnection = connection;
        SMCKeyData_t reply;
        kern_return_t code = kMachSendInvalidDest;
        if (auto failure = failures.find(calls.size() - 1); failure != failures.end()) {
            code = failure->second;
        } else if (connected.count(connection) == 1) {
            code = device.call(selector, call, reply);
        }
        outputSize = std::min(outputSize, sizeof(SMCKeyData_t));
        std::memcpy(output, &reply, outputSize);
        return code;
    }

    // Makes the struct call `later` calls from now (0 = the next one) fail with `code`
    // without reaching the device.
    void failCall(std::size_t later, kern_return_t code) { failures[calls.size() + later] = code; }

    // Every write asked for, failed or not, as "KEY=HEX " with as many bytes as it sent.
    std::string written() const {
        std::string text;
        for (const SMCKeyData_t& call : calls) {
            if (call.data8 != rawValue(SMCKeys::writeBytes)) continue;
            const auto* bytes = call.bytes.data();
            text += toString(call.key) + "=" +
                    KeyTableFile::hex({bytes, bytes + call.keyInfo.dataSize}) + " ";
        }
        return text;
    }

    SmcEmulator device;
    bool present = true;
    kern_return_t matchingResult = kKernSuccess;
    kern_return_t openResult = kKernSuccess;
    io_connect_t nextConnection = kFirstConnection;
    std::set<io_connect_t> connected;
    std::vector<io_object_t> released;
    std::vector<SMCKeyData_t> calls;  // every struct call's input
    io_connect_t lastConnection = 0;
    std::map<std::size_t, kern_return_t> failures;  // by call number
};

}  // namespace ampwarden::test
