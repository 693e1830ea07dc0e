// The battery's attributes as a fuzzer writes them, in a scratch tree: finding them never
// fails oddly, and the service built on them reports nothing it did not read or write. A
// percent read as done is the file's decimal number, at most 100; a behaviour key holds the
// value last written to it or what the attribute says; a percent written and reported as done
// is what the file now says.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MachError.h"
#include "platform/linux/HostFiles.h"
#include "platform/linux/KernelAttributeSmcService.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeyData_t.h"
#include "smc/SMCKeys.h"

using namespace ampwarden;

namespace {

constexpr const char* kFolder = "/sys/class/power_supply/BAT0";
constexpr const char* kFiles[] = {"type", "charge_control_end_threshold", "charge_behaviour"};

// A scratch tree for the whole run, removed when the fuzzer ends.
class Scratch {
  public:
    Scratch() {
        // In memory where it can be: every input rewrites the files.
        char inMemory[] = "/dev/shm/ampwarden-fuzz-XXXXXX";
        char onDisk[] = "/tmp/ampwarden-fuzz-XXXXXX";
        const char* folder = mkdtemp(inMemory);
        if (folder == nullptr) folder = mkdtemp(onDisk);
        if (folder == nullptr) std::abort();
        root_ = folder;
        std::filesystem::create_directories(root_ + kFolder);
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    const std::string& root() const { return root_; }

  private:
    std::string root_;
};

const std::string& scratchRoot() {
    static const Scratch scratch;
    return scratch.root();
}

void put(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

kern_return_t call(SmcService& service, io_connect_t connection, const char* key, SMCKeys command,
                   std::uint8_t value, std::uint8_t& answer) {
    SMCKeyData_t input;
    SMCKeyData_t output;
    input.key = toUInt32(key);
    input.data8 = static_cast<std::uint8_t>(command);
    input.keyInfo.dataSize = 1;
    input.bytes[0] = value;
    std::size_t size = sizeof(output);
    const kern_return_t code =
        service.callStructMethod(connection, static_cast<std::uint32_t>(SMCKeys::kernelIndex),
                                 &input, sizeof(input), &output, size);
    answer = output.bytes[0];
    return code;
}

// The file's text when it is a decimal number (leading zeros allowed; large ones saturate),
// else none.
std::optional<unsigned long> number(const HostFiles& files, const std::string& path) {
    const auto text = files.read(path);
    if (!text || text->empty()) return std::nullopt;
    unsigned long value = 0;
    for (const char c : *text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = std::min(value * 10 + static_cast<unsigned long>(c - '0'), 1000000UL);
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Three file texts separated by NUL bytes, then the operations.
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const HostFiles files(scratchRoot());
    const std::string folder = files.path(kFolder);
    for (const char* name : kFiles) {
        const auto end = std::min(rest.find('\0'), rest.size());
        put(folder + "/" + name, rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    std::string why;
    const auto attributes = KernelAttributeSmcService::find(files, why);
    if (!attributes) {
        if (why.empty()) std::abort();
        return 0;
    }
    KernelAttributeSmcService service(files, *attributes);
    io_connect_t connection = 0;
    std::vector<io_service_t> services;
    service.getMatchingServices("AppleSMC", services);
    if (services.empty() || service.serviceOpen(services[0], 0, connection) != kKernSuccess) {
        std::abort();
    }
    const char* keys[] = {"BCLM", "CH0B", "CH0C", "CH0I"};
    int written[4] = {-1, -1, -1, -1};  // the last value written to each key and reported done
    for (std::size_t i = 0; i + 1 < rest.size() && i < 16; i += 2) {
        const int index = rest[i] & 3;
        const char* key = keys[index];
        const bool writing = (rest[i] & 4) != 0;
        const auto value = static_cast<std::uint8_t>(rest[i + 1]);
        const bool limit = key == keys[0];
        const std::string file = limit ? attributes->limitFile : attributes->behaviourFile;
        std::uint8_t answer = 0;
        const kern_return_t code =
            call(service, connection, key, writing ? SMCKeys::writeBytes : SMCKeys::readBytes,
                 value, answer);
        if (code != kKernSuccess || file.empty()) continue;
        if (writing) written[index] = value;
        if (writing && limit && number(files, file) != value) std::abort();
        if (!writing && limit && (answer > 100 || number(files, file) != answer)) std::abort();
        // A behaviour key holds what was written to it, or what the attribute says.
        if (!writing && !limit && answer != 0 && answer != (index == 3 ? 1 : 2) &&
            answer != written[index]) {
            std::abort();
        }
    }
    return 0;
}
