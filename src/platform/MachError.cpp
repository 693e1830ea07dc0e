#include "platform/MachError.h"

#include <algorithm>
#include <iterator>

namespace ampwarden {

namespace {

struct MachErrorEntry {
    kern_return_t code;
    const char* name;
    const char* text;
};

// The texts of the kernel's and IOKit's error-string tables, code for code.
constexpr MachErrorEntry kMachErrors[] = {
    {static_cast<kern_return_t>(0x0), "KERN_SUCCESS", "(os/kern) successful"},
    {static_cast<kern_return_t>(0x1), "KERN_INVALID_ADDRESS", "(os/kern) invalid address"},
    {static_cast<kern_return_t>(0x2), "KERN_PROTECTION_FAILURE", "(os/kern) protection failure"},
    {static_cast<kern_return_t>(0x3), "KERN_NO_SPACE", "(os/kern) no space available"},
    {static_cast<kern_return_t>(0x4), "KERN_INVALID_ARGUMENT", "(os/kern) invalid argument"},
    {static_cast<kern_return_t>(0x5), "KERN_FAILURE", "(os/kern) failure"},
    {static_cast<kern_return_t>(0x6), "KERN_RESOURCE_SHORTAGE", "(os/kern) resource shortage"},
    {static_cast<kern_return_t>(0x7), "KERN_NOT_RECEIVER", "(os/kern) not receiver"},
    {static_cast<kern_return_t>(0x8), "KERN_NO_ACCESS", "(os/kern) no access"},
    {static_cast<kern_return_t>(0x9), "KERN_MEMORY_FAILURE", "(os/kern) memory failure"},
    {static_cast<kern_return_t>(0xa), "KERN_MEMORY_ERROR", "(os/kern) memory error"},
    {static_cast<kern_return_t>(0xb), "KERN_ALREADY_IN_SET", "(os/kern) already in set"},
    {static_cast<kern_return_t>(0xc), "KERN_NOT_IN_SET", "(os/kern) not in set"},
    {static_cast<kern_return_t>(0xd), "KERN_NAME_EXISTS", "(os/kern) name exists"},
    {static_cast<kern_return_t>(0xe), "KERN_ABORTED", "(os/kern) aborted"},
    {static_cast<kern_return_t>(0xf), "KERN_INVALID_NAME", "(os/kern) invalid name"},
    {static_cast<kern_return_t>(0x10), "KERN_INVALID_TASK", "(os/kern) invalid task"},
    {static_cast<kern_return_t>(0x11), "KERN_INVALID_RIGHT", "(os/kern) invalid right"},
    {static_cast<kern_return_t>(0x12), "KERN_INVALID_VALUE", "(os/kern) invalid value"},
    {static_cast<kern_return_t>(0x13), "KERN_UREFS_OVERFLOW", "(os/kern) urefs overflow"},
    {static_cast<kern_return_t>(0x14), "KERN_INVALID_CAPABILITY", "(os/kern) invalid capability"},
    {static_cast<kern_return_t>(0x15), "KERN_RIGHT_EXISTS", "(os/kern) right exists"},
    {static_cast<kern_return_t>(0x16), "KERN_INVALID_HOST", "(os/kern) invalid host"},
    {static_cast<kern_return_t>(0x17), "KERN_MEMORY_PRESENT", "(os/kern) memory present"},
    {static_cast<kern_return_t>(0x18), "KERN_MEMORY_DATA_MOVED", "(os/kern) memory data moved"},
    {static_cast<kern_return_t>(0x19), "KERN_MEMORY_RESTART_COPY", "(os/kern) memory restart copy"},
    {static_cast<kern_return_t>(0x1a), "KERN_INVALID_PROCESSOR_SET",
     "(os/kern) invalid processor set"},
    {static_cast<kern_return_t>(0x1b), "KERN_POLICY_LIMIT", "(os/kern) policy limit"},
    {static_cast<kern_return_t>(0x1c), "KERN_INVALID_POLICY", "(os/kern) invalid policy"},
    {static_cast<kern_return_t>(0x1d), "KERN_INVALID_OBJECT", "(os/kern) invalid object"},
    {static_cast<kern_return_t>(0x1e), "KERN_ALREADY_WAITING", "(os/kern) already waiting"},
    {static_cast<kern_return_t>(0x1f), "KERN_DEFAULT_SET", "(os/kern) default set"},
    {static_cast<kern_return_t>(0x20), "KERN_EXCEPTION_PROTECTED", "(os/kern) exception protected"},
    {static_cast<kern_return_t>(0x21), "KERN_INVALID_LEDGER", "(os/kern) invalid ledger"},
    {static_cast<kern_return_t>(0x22), "KERN_INVALID_MEMORY_CONTROL",
     "(os/kern) invalid memory control"},
    {static_cast<kern_return_t>(0x23), "KERN_INVALID_SECURITY", "(os/kern) invalid security"},
    {static_cast<kern_return_t>(0x24), "KERN_NOT_DEPRESSED", "(os/kern) not depressed"},
    {static_cast<kern_return_t>(0x25), "KERN_TERMINATED", "(os/kern) object terminated"},
    {static_cast<kern_return_t>(0x26), "KERN_LOCK_SET_DESTROYED", "(os/kern) lock set destroyed"},
    {static_cast<kern_return_t>(0x27), "KERN_LOCK_UNSTABLE", "(os/kern) lock unstable"},
    {static_cast<kern_return_t>(0x28), "KERN_LOCK_OWNED", "(os/kern) lock owned by another"},
    {static_cast<kern_return_t>(0x29), "KERN_LOCK_OWNED_SELF", "(os/kern) lock owned by self"},
    {static_cast<kern_return_t>(0x2a), "KERN_SEMAPHORE_DESTROYED", "(os/kern) semaphore destroyed"},
    {static_cast<kern_return_t>(0x2b), "KERN_RPC_SERVER_TERMINATED", "(os/kern) RPC terminated"},
    {static_cast<kern_return_t>(0x2c), "KERN_RPC_TERMINATE_ORPHAN", "(os/kern) terminate orphan"},
    {static_cast<kern_return_t>(0x2d), "KERN_RPC_CONTINUE_ORPHAN", "(os/kern) let orphan continue"},
    {static_cast<kern_return_t>(0x2e), "KERN_NOT_SUPPORTED", "(os/kern) service not supported"},
    {static_cast<kern_return_t>(0x2f), "KERN_NODE_DOWN", "(os/kern) remote node down"},
    {static_cast<kern_return_t>(0x30), "KERN_NOT_WAITING", "(os/kern) thread not waiting"},
    {static_cast<kern_return_t>(0x31), "KERN_OPERATION_TIMED_OUT", "(os/kern) operation timed out"},
    {static_cast<kern_return_t>(0x10000003), "MACH_SEND_INVALID_DEST",
     "(ipc/send) invalid destination port"},
    {static_cast<kern_return_t>(0xe0000001u), "kIOReturnInvalid",
     "(iokit/common) invalid - should never be seen"},
    {static_cast<kern_return_t>(0xe00002bcu), "kIOReturnError", "(iokit/common) general error"},
    {static_cast<kern_return_t>(0xe00002bdu), "kIOReturnNoMemory",
     "(iokit/common) can't allocate memory"},
    {static_cast<kern_return_t>(0xe00002beu), "kIOReturnNoResources",
     "(iokit/common) resource shortage"},
    {static_cast<kern_return_t>(0xe00002bfu), "kIOReturnIPCError",
     "(iokit/common) error during IPC"},
    {static_cast<kern_return_t>(0xe00002c0u), "kIOReturnNoDevice", "(iokit/common) no such device"},
    {static_cast<kern_return_t>(0xe00002c1u), "kIOReturnNotPrivileged",
     "(iokit/common) privilege violation"},
    {static_cast<kern_return_t>(0xe00002c2u), "kIOReturnBadArgument",
     "(iokit/common) invalid argument"},
    {static_cast<kern_return_t>(0xe00002c3u), "kIOReturnLockedRead",
     "(iokit/common) device read locked"},
    {static_cast<kern_return_t>(0xe00002c4u), "kIOReturnLockedWrite",
     "(iokit/common) device write locked"},
    {static_cast<kern_return_t>(0xe00002c5u), "kIOReturnExclusiveAccess",
     "(iokit/common) exclusive access and device already open"},
    {static_cast<kern_return_t>(0xe00002c6u), "kIOReturnBadMessageID",
     "(iokit/common) sent/received messages had different msg_id"},
    {static_cast<kern_return_t>(0xe00002c7u), "kIOReturnUnsupported",
     "(iokit/common) unsupported function"},
    {static_cast<kern_return_t>(0xe00002c8u), "kIOReturnVMError",
     "(iokit/common) misc. VM failure"},
    {static_cast<kern_return_t>(0xe00002c9u), "kIOReturnInternalError",
     "(iokit/common) internal error"},
    {static_cast<kern_return_t>(0xe00002cau), "kIOReturnIOError",
     "(iokit/common) General I/O error"},
    {static_cast<kern_return_t>(0xe00002ccu), "kIOReturnCannotLock",
     "(iokit/common) can't acquire lock"},
    {static_cast<kern_return_t>(0xe00002cdu), "kIOReturnNotOpen", "(iokit/common) device not open"},
    {static_cast<kern_return_t>(0xe00002ceu), "kIOReturnNotReadable",
     "(iokit/common) read not supported"},
    {static_cast<kern_return_t>(0xe00002cfu), "kIOReturnNotWritable",
     "(iokit/common) write not supported"},
    {static_cast<kern_return_t>(0xe00002d0u), "kIOReturnNotAligned",
     "(iokit/common) alignment error"},
    {static_cast<kern_return_t>(0xe00002d1u), "kIOReturnBadMedia", "(iokit/common) Media Error"},
    {static_cast<kern_return_t>(0xe00002d2u), "kIOReturnStillOpen",
     "(iokit/common) device(s) still open"},
    {static_cast<kern_return_t>(0xe00002d3u), "kIOReturnRLDError", "(iokit/common) rld failure"},
    {static_cast<kern_return_t>(0xe00002d4u), "kIOReturnDMAError", "(iokit/common) DMA failure"},
    {static_cast<kern_return_t>(0xe00002d5u), "kIOReturnBusy", "(iokit/common) Device Busy"},
    {static_cast<kern_return_t>(0xe00002d6u), "kIOReturnTimeout", "(iokit/common) I/O Timeout"},
    {static_cast<kern_return_t>(0xe00002d7u), "kIOReturnOffline", "(iokit/common) device offline"},
    {static_cast<kern_return_t>(0xe00002d8u), "kIOReturnNotReady", "(iokit/common) not ready"},
    {static_cast<kern_return_t>(0xe00002d9u), "kIOReturnNotAttached",
     "(iokit/common) device not attached"},
    {static_cast<kern_return_t>(0xe00002dau), "kIOReturnNoChannels",
     "(iokit/common) no DMA channels left"},
    {static_cast<kern_return_t>(0xe00002dbu), "kIOReturnNoSpace",
     "(iokit/common) no space for data"},
    {static_cast<kern_return_t>(0xe00002ddu), "kIOReturnPortExists",
     "(iokit/common) port already exists"},
    {static_cast<kern_return_t>(0xe00002deu), "kIOReturnCannotWire",
     "(iokit/common) can't wire down physical memory"},
    {static_cast<kern_return_t>(0xe00002dfu), "kIOReturnNoInterrupt",
     "(iokit/common) no interrupt attached"},
    {static_cast<kern_return_t>(0xe00002e0u), "kIOReturnNoFrames",
     "(iokit/common) no DMA frames enqueued"},
    {static_cast<kern_return_t>(0xe00002e1u), "kIOReturnMessageTooLarge",
     "(iokit/common) oversized msg received on interrupt port"},
    {static_cast<kern_return_t>(0xe00002e2u), "kIOReturnNotPermitted",
     "(iokit/common) not permitted"},
    {static_cast<kern_return_t>(0xe00002e3u), "kIOReturnNoPower",
     "(iokit/common) no power to device"},
    {static_cast<kern_return_t>(0xe00002e4u), "kIOReturnNoMedia",
     "(iokit/common) media not present"},
    {static_cast<kern_return_t>(0xe00002e5u), "kIOReturnUnformattedMedia",
     "(iokit/common) media not formatted"},
    {static_cast<kern_return_t>(0xe00002e6u), "kIOReturnUnsupportedMode",
     "(iokit/common) no such mode"},
    {static_cast<kern_return_t>(0xe00002e7u), "kIOReturnUnderrun", "(iokit/common) data underrun"},
    {static_cast<kern_return_t>(0xe00002e8u), "kIOReturnOverrun", "(iokit/common) data overrun"},
    {static_cast<kern_return_t>(0xe00002e9u), "kIOReturnDeviceError",
     "(iokit/common) the device is not working properly!"},
    {static_cast<kern_return_t>(0xe00002eau), "kIOReturnNoCompletion",
     "(iokit/common) a completion routine is required"},
    {static_cast<kern_return_t>(0xe00002ebu), "kIOReturnAborted",
     "(iokit/common) operation aborted"},
    {static_cast<kern_return_t>(0xe00002ecu), "kIOReturnNoBandwidth",
     "(iokit/common) bus bandwidth would be exceeded"},
    {static_cast<kern_return_t>(0xe00002edu), "kIOReturnNotResponding",
     "(iokit/common) device not responding"},
    {static_cast<kern_return_t>(0xe00002eeu), "kIOReturnIsoTooOld",
     "(iokit/common) isochronous I/O request for distant past!"},
    {static_cast<kern_return_t>(0xe00002efu), "kIOReturnIsoTooNew",
     "(iokit/common) isochronous I/O request for distant future"},
    {static_cast<kern_return_t>(0xe00002f0u), "kIOReturnNotFound",
     "(iokit/common) data was not found"},
};

const MachErrorEntry* find(kern_return_t code) {
    auto it = std::find_if(std::begin(kMachErrors), std::end(kMachErrors),
                           [code](const MachErrorEntry& entry) { return entry.code == code; });
    return it == std::end(kMachErrors) ? nullptr : it;
}

}  // namespace

std::string machErrorText(kern_return_t code) {
    const MachErrorEntry* entry = find(code);
    return entry != nullptr ? entry->text : "unknown error code";
}

std::string machErrorName(kern_return_t code) {
    const MachErrorEntry* entry = find(code);
    return entry != nullptr ? entry->name : "";
}

}  // namespace ampwarden
