#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/HostFiles.h"
#include "platform/linux/InProcessSmcService.h"
#include "smc/SMCKeyData_t.h"

namespace ampwarden {

// A small SMC made of the kernel's battery attributes. It presents only the charge keys the
// kernel backs, each with its real type and size, plus "#KEY":
//  - "BCLM" (ui8, percent) is the battery's charge_control_end_threshold, or on T2 Macs the
//    battery_charge_limit of the ACPI device APP0001;
//  - "CH0B" and "CH0C" (hex_, 2 = stop charging) and "CH0I" (hex_, 1 = forced discharge) are
//    the battery's charge_behaviour, where the kernel offers inhibit-charge and
//    force-discharge.
// The three charge_behaviour keys hold the values last written and set the attribute from all
// of them on every write: "CH0I" 1 means force-discharge; otherwise the stop-charging key
// written last decides between inhibit-charge (2) and auto, so that allowing charging with
// "CH0B" := 0 after a stop that set both keys allows it again. When another program changes
// the attribute, the keys follow it at the next call. A write the kernel refuses is an error.
// Thread-safe.
class KernelAttributeSmcService : public InProcessSmcService {
  public:
    struct Attributes {
        std::string battery;        // the power_supply folder, a system path
        std::string limitFile;      // empty when none
        std::string behaviourFile;  // empty when none
        bool inhibit = false;       // charge_behaviour offers inhibit-charge
        bool discharge = false;     // ... and force-discharge

        // The charge keys these attributes back, in key order.
        std::vector<std::string> chargeKeys() const;
        // The files, as system paths.
        std::vector<std::string> files() const;
    };

    // The first battery's attributes (and the T2 limit); none, with `why`, when the kernel
    // offers no charge attribute.
    static std::optional<Attributes> find(const HostFiles& files, std::string& why);

    KernelAttributeSmcService(HostFiles files, Attributes attributes);

  protected:
    // Codes: unknown key -> kIOReturnNotFound; "#KEY" written -> kIOReturnNotWritable; wrong
    // size -> kIOReturnBadArgument; a percent over 100 -> kIOReturnBadArgument; an attribute
    // that cannot be read or written: permission -> kIOReturnNotPermitted, a value the kernel
    // refuses -> kIOReturnBadArgument, gone -> kIOReturnNoDevice, else kIOReturnIOError.
    kern_return_t answer(const SMCKeyData_t& input, SMCKeyData_t& output) override;

  private:
    enum Held { kCH0B, kCH0C, kCH0I, kHeldCount };

    kern_return_t readValue(const std::string& key, std::uint8_t& value);
    kern_return_t writeValue(const std::string& key, std::uint8_t value);
    kern_return_t writeBehaviour(int key, std::uint8_t value);
    // Takes the attribute's current word; when someone else changed it, the keys follow.
    kern_return_t follow();
    std::string wantedBehaviour() const;

    HostFiles files_;
    Attributes attributes_;
    std::vector<std::string> keys_;  // "#KEY" first, then the charge keys
    std::uint8_t held_[kHeldCount] = {};
    int lastStop_ = kCH0B;   // the stop-charging key written last
    std::string behaviour_;  // the word we last set or saw
};

}  // namespace ampwarden
