// Test-only: the port protocol alone on the machine's own SMC ports, with none of the backend's
// safety checks, for the throw-away QEMU guest whose emulated SMC tests/kernel boots. Each
// argument is "KEY:SIZE" (read SIZE bytes) or "KEY" (ask its key information); one line each
// with the code, the bytes, the time taken and the status the device shows afterwards.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/linux/IoPermPortIo.h"
#include "smc/SMCKeyCode.h"
#include "smc/SmcPortProtocol.h"

using namespace ampwarden;

int main(int argc, char** argv) {
    std::string error;
    auto ports =
        IoPermPortIo::open(SmcPortProtocol::kRegionStart, SmcPortProtocol::kRegionSize, error);
    if (!ports) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    SmcPortProtocol protocol(*ports);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::uint32_t key = toUInt32(arg.substr(0, 4));
        const auto start = std::chrono::steady_clock::now();
        std::uint8_t result = 0;
        kern_return_t code = 0;
        std::string said;
        if (arg.size() > 5) {
            std::vector<std::uint8_t> bytes(std::stoul(arg.substr(5)));
            code = protocol.read(SmcPortProtocol::kReadCommand, key, bytes.data(), bytes.size(),
                                 result);
            char hex[4];
            for (std::uint8_t byte : bytes) {
                std::snprintf(hex, sizeof(hex), " %02x", byte);
                said += hex;
            }
        } else {
            SmcPortProtocol::KeyInfo info;
            code = protocol.keyInfo(key, info, result);
            char text[40];
            std::snprintf(text, sizeof(text), " size %u type 0x%08x", info.size, info.type);
            said = text;
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        std::printf("%s: code 0x%x result 0x%02x ms %lld status 0x%02x:%s\n", arg.c_str(),
                    static_cast<unsigned>(code), result, static_cast<long long>(ms),
                    ports->in(SmcPortProtocol::kCommandPort), said.c_str());
    }
    return 0;
}
