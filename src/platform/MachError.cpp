// Placeholder so the tree links; the full table replaces it.
#include "platform/MachError.h"

namespace ampwarden {

std::string machErrorText(kern_return_t code) {
    if (code == 0) return "(os/kern) successful";
    return "unknown error code";
}

}  // namespace ampwarden
