#include "smc/SMCErrorText.h"

#include <algorithm>

#include "platform/MachError.h"

namespace ampwarden {

std::string smcErrorText(kern_return_t code) {
    std::string text = machErrorText(code);
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii && !text.empty() ? text : "unknown error";
}

std::string smcErrorWords(kern_return_t code) {
    static constexpr struct {
        kern_return_t code;
        const char* words;
    } kWords[] = {
        {kIOReturnNotFound, "no such key"},
        {kIOReturnNotWritable, "the key is read-only"},
        {kIOReturnNotReadable, "the key cannot be read"},
        {kIOReturnBadArgument, "invalid argument (not a key, or a value it does not take)"},
        {kIOReturnTimeout, "the SMC did not answer in time"},
        {kIOReturnNotResponding, "the SMC is not responding"},
        {kIOReturnNotPrivileged, "permission denied"},
        {kIOReturnNotPermitted, "permission denied"},
        {kIOReturnNoDevice, "no SMC device"},
        {kIOReturnBusy, "the SMC is busy"},
        {kIOReturnIOError, "input/output error"},
        {kMachSendInvalidDest, "no SMC connection"},
    };
    for (const auto& entry : kWords) {
        if (entry.code == code) return entry.words;
    }
    return smcErrorText(code);
}

}  // namespace ampwarden
