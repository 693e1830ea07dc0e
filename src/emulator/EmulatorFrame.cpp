#include "emulator/EmulatorFrame.h"

#include <cstring>

namespace ampwarden {

namespace {

EmulatorFrame::Bytes frame(std::uint32_t head, const SMCKeyData_t& record) {
    EmulatorFrame::Bytes bytes{};
    for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(head >> (8 * i));
    std::memcpy(bytes.data() + 4, &record, sizeof(record));
    return bytes;
}

}  // namespace

EmulatorFrame::Bytes EmulatorFrame::request(std::uint32_t selector, const SMCKeyData_t& record) {
    return frame(selector, record);
}

EmulatorFrame::Bytes EmulatorFrame::reply(kern_return_t code, const SMCKeyData_t& record) {
    return frame(static_cast<std::uint32_t>(code), record);
}

std::uint32_t EmulatorFrame::head(const Bytes& frame) {
    return frame[0] | (std::uint32_t{frame[1]} << 8) | (std::uint32_t{frame[2]} << 16) |
           (std::uint32_t{frame[3]} << 24);
}

SMCKeyData_t EmulatorFrame::record(const Bytes& frame) {
    SMCKeyData_t record;
    std::memcpy(static_cast<void*>(&record), frame.data() + 4, sizeof(record));
    return record;
}

}  // namespace ampwarden
