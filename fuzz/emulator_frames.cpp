// The emulator's socket frames, one after another on one device: every request is answered
// with a frame of the same size, and a frame survives being taken apart and put together.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "emulator/EmulatorFrame.h"
#include "emulator/SmcEmulator.h"
#include "emulator/SmcKeyTable.h"

using namespace ampwarden;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SmcEmulator device(SmcKeyTable::intelLaptop());
    for (; size >= EmulatorFrame::kSize;
         data += EmulatorFrame::kSize, size -= EmulatorFrame::kSize) {
        EmulatorFrame::Bytes request;
        std::memcpy(request.data(), data, request.size());
        const auto rebuilt =
            EmulatorFrame::request(EmulatorFrame::head(request), EmulatorFrame::record(request));
        if (rebuilt != request) std::abort();
        const EmulatorFrame::Bytes reply = device.answer(request);
        (void)EmulatorFrame::record(reply);
    }
    return 0;
}
