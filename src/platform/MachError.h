#pragma once

#include <string>

#include "platform/SmcService.h"

namespace ampwarden {

// Kernel return codes the SMC seam and the emulated device produce.
inline constexpr kern_return_t kKernSuccess = 0;
inline constexpr kern_return_t kMachSendInvalidDest = 0x10000003;
inline constexpr kern_return_t kIOReturnError = static_cast<kern_return_t>(0xe00002bc);
inline constexpr kern_return_t kIOReturnNoResources = static_cast<kern_return_t>(0xe00002be);
inline constexpr kern_return_t kIOReturnNoDevice = static_cast<kern_return_t>(0xe00002c0);
inline constexpr kern_return_t kIOReturnNotPrivileged = static_cast<kern_return_t>(0xe00002c1);
inline constexpr kern_return_t kIOReturnBadArgument = static_cast<kern_return_t>(0xe00002c2);
inline constexpr kern_return_t kIOReturnUnsupported = static_cast<kern_return_t>(0xe00002c7);
inline constexpr kern_return_t kIOReturnIOError = static_cast<kern_return_t>(0xe00002ca);
inline constexpr kern_return_t kIOReturnNotReadable = static_cast<kern_return_t>(0xe00002ce);
inline constexpr kern_return_t kIOReturnNotWritable = static_cast<kern_return_t>(0xe00002cf);
inline constexpr kern_return_t kIOReturnBusy = static_cast<kern_return_t>(0xe00002d5);
inline constexpr kern_return_t kIOReturnTimeout = static_cast<kern_return_t>(0xe00002d6);
inline constexpr kern_return_t kIOReturnNotPermitted = static_cast<kern_return_t>(0xe00002e2);
inline constexpr kern_return_t kIOReturnNotResponding = static_cast<kern_return_t>(0xe00002ed);
inline constexpr kern_return_t kIOReturnNotFound = static_cast<kern_return_t>(0xe00002f0);

// The text the Mach error-string function gives for a code ("unknown error code" for a code
// it does not know); every SMC failure line ends with it.
std::string machErrorText(kern_return_t code);

// The symbolic name of a code ("KERN_SUCCESS", "kIOReturnNotFound"); empty when unknown.
std::string machErrorName(kern_return_t code);

}  // namespace ampwarden
