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

}  // namespace ampwarden
