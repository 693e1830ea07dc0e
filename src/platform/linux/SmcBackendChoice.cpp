#include "platform/linux/SmcBackendChoice.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "BuildInfo.h"
#include "platform/MachError.h"
#include "platform/linux/EmulatorSmcService.h"
#include "platform/linux/IoPermPortIo.h"
#include "platform/linux/KernelAttributeSmcService.h"
#include "platform/linux/PortIoSmcService.h"
#include "smc/SMCKeyCode.h"
#include "smc/SMCKeyData_t.h"
#include "smc/SMCKeys.h"
#include "smc/SMCTexts.h"
#include "smc/SmcPortProtocol.h"

namespace ampwarden {

namespace {

bool failed(std::string& why, std::string reason) {
    why = std::move(reason);
    return false;
}

constexpr const char* kChargeKeys[] = {"BCLM", "CH0B", "CH0C", "CH0I"};
constexpr const char* kAcpiSmc = "/sys/bus/acpi/devices/APP0001:00";

// No SMC at all: "open" finds no service and says so the usual way.
class AbsentSmcService : public SmcService {
  public:
    kern_return_t getMatchingServices(const std::string&,
                                      std::vector<io_service_t>& services) override {
        services.clear();
        return kKernSuccess;
    }
    void objectRelease(io_object_t) override {}
    kern_return_t serviceOpen(io_service_t, std::uint32_t, io_connect_t&) override {
        return kIOReturnNoDevice;
    }
    kern_return_t serviceClose(io_connect_t) override { return kMachSendInvalidDest; }
    kern_return_t callStructMethod(io_connect_t, std::uint32_t, const void*, std::size_t, void*,
                                   std::size_t&) override {
        return kMachSendInvalidDest;
    }
};

// The charge keys a service has, asked the way the SMC code asks: key information. A device
// that fails otherwise than "no such key" is dead or silent, and costs one deadline, not one
// per key: `failure` says which key it failed on and how (empty when none did).
std::vector<std::string> chargeKeysOf(SmcService& service, std::string& failure) {
    std::vector<std::string> keys;
    std::vector<io_service_t> found;
    io_connect_t connection = 0;
    if (service.getMatchingServices(smctext::kServiceClass, found) != kKernSuccess ||
        found.empty() || service.serviceOpen(found[0], 0, connection) != kKernSuccess) {
        return keys;
    }
    for (const char* key : kChargeKeys) {
        SMCKeyData_t input;
        SMCKeyData_t output;
        input.key = toUInt32(key);
        input.data8 = rawValue(SMCKeys::readKeyInfo);
        std::size_t size = sizeof(output);
        const kern_return_t code = service.callStructMethod(
            connection, rawValue(SMCKeys::kernelIndex), &input, sizeof(input), &output, size);
        if (code == kKernSuccess) {
            keys.push_back(key);
        } else if (code != kIOReturnNotFound) {
            failure = std::string("asking for ") + key + " failed: " + machErrorText(code);
            break;
        }
    }
    service.serviceClose(connection);
    return keys;
}

// The word in brackets of "none [integrity] confidentiality".
std::string bracketed(const std::string& text) {
    const auto open = text.find('[');
    const auto close = text.find(']', open);
    if (open == std::string::npos || close == std::string::npos) return text;
    return text.substr(open + 1, close - open - 1);
}

// One line of /proc/ioports: a range, its owner, and how deep the kernel nested it (two spaces
// of indentation per level: a device's region sits inside its bus's window, a driver's inside
// its device's).
struct PortRange {
    unsigned start = 0;
    unsigned end = 0;
    std::string owner;
    std::size_t depth = 0;
};

std::vector<PortRange> portRanges(const std::string& ioports) {
    std::vector<PortRange> ranges;
    std::istringstream lines(ioports);
    for (std::string line; std::getline(lines, line);) {
        PortRange range;
        int name = 0;
        if (std::sscanf(line.c_str(), " %x-%x : %n", &range.start, &range.end, &name) != 2 ||
            name == 0) {
            continue;
        }
        range.owner = line.substr(static_cast<std::size_t>(name));
        range.depth = line.find_first_not_of(' ') / 2;
        ranges.push_back(std::move(range));
    }
    return ranges;
}

// The SMC's region, first and last port.
constexpr unsigned kFirstPort = SmcPortProtocol::kRegionStart;
constexpr unsigned kLastPort = kFirstPort + SmcPortProtocol::kRegionSize - 1;

enum class Holder { none, busWindow, firmwareSmc, smcDriver, other };

Holder holderOf(const PortRange* range) {
    if (range == nullptr) return Holder::none;
    const bool region = range->start == kFirstPort && range->end == kLastPort;
    if (region && range->owner.rfind("APP0001:", 0) == 0) return Holder::firmwareSmc;
    if (region && range->owner == "applesmc") return Holder::smcDriver;
    const bool spans = range->start <= kFirstPort && range->end >= kLastPort && !region;
    return spans && range->owner.rfind("PCI Bus", 0) == 0 ? Holder::busWindow : Holder::other;
}

// Whether `range`, which overlaps the SMC's region, leaves it to us, given the range it is
// nested in (none: top level). A bus window spanning the region is no claim; the region itself
// may belong to the SMC's firmware device (ACPI "APP0001"), and to the kernel's SMC driver,
// alone or inside that device. Anything else in the region, or cutting it, is another device's.
bool harmless(const PortRange& range, const PortRange* parent) {
    const Holder above = holderOf(parent);
    const bool underBus = above == Holder::none || above == Holder::busWindow;
    switch (holderOf(&range)) {
        case Holder::busWindow:
        case Holder::firmwareSmc:
            return underBus;
        case Holder::smcDriver:
            return underBus || above == Holder::firmwareSmc;
        default:
            return false;
    }
}

// Who else holds ports of the SMC's region, from /proc/ioports read as the tree it is; empty
// when nobody. `blind`: every address reads 0, as the kernel shows them to a reader without
// CAP_SYS_ADMIN.
std::string portClaims(const std::string& ioports, bool& blind) {
    const std::vector<PortRange> ranges = portRanges(ioports);
    std::vector<const PortRange*> open;  // the current range's ancestors, outermost first
    std::string claims;
    bool anyAddress = false;
    for (const PortRange& range : ranges) {
        anyAddress = anyAddress || range.end != 0;
        while (!open.empty() && open.back()->depth >= range.depth) open.pop_back();
        const PortRange* parent = open.empty() ? nullptr : open.back();
        open.push_back(&range);
        if (range.start <= kLastPort && range.end >= kFirstPort && !harmless(range, parent)) {
            claims += (claims.empty() ? "" : ", ") + range.owner;
        }
    }
    blind = !anyAddress;
    return claims;
}

// Whether the service may write the battery's charge files: its unit lets it write only
// those of the batteries it names. Empty when it may.
std::string outsideTheService(const KernelAttributeSmcService::Attributes& attributes) {
    const std::string name = attributes.battery.substr(attributes.battery.rfind('/') + 1);
    bool onBattery = false;
    for (const std::string& file : attributes.files()) {
        onBattery = onBattery || file.rfind(attributes.battery + "/", 0) == 0;
    }
    std::string named;
    for (const char* battery : build::kServiceBatteries) {
        if (name == battery) return "";
        named += (named.empty() ? "" : " ") + std::string(battery);
    }
    if (!onBattery) return "";
    return "the service (" + std::string(build::kServiceName) + ") cannot write battery " + name +
           "'s files: it may write only those of " + named;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

SmcBackendChoice::Setup SmcBackendChoice::Setup::fromEnvironment() {
    Setup setup;
    if (const char* env = std::getenv("AMPWARDEN_SMC_BACKEND"); env != nullptr && *env != '\0') {
        setup.setting = env;
    }
    const char* socket = std::getenv("LUMORA_SMC_EMULATOR");
    struct stat info {};
    const std::string path = EmulatorSmcService::defaultSocketPath();
    if ((socket != nullptr && *socket != '\0') ||
        (::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))) {
        setup.emulatorSocket = path;
    }
    setup.files = HostFiles();
    setup.openPorts = [](std::string& error) -> std::unique_ptr<PortIo> {
        return IoPermPortIo::open(SmcPortProtocol::kRegionStart, SmcPortProtocol::kRegionSize,
                                  error);
    };
    setup.lockPath = PortIoSmcService::defaultLockPath();
    return setup;
}

SmcBackendChoice::Setup SmcBackendChoice::Setup::asTheService() {
    Setup setup = fromEnvironment();
    const char* env = std::getenv("AMPWARDEN_SMC_BACKEND");
    if (env != nullptr && *env != '\0') return setup;
    if (auto text = setup.files.read(kDefaultsFile)) {
        // Empty, as the helper takes it: auto.
        if (auto value = settingInFile(*text); value && !value->empty()) setup.setting = *value;
    }
    return setup;
}

bool SmcBackendChoice::knownSetting(const std::string& setting) {
    return setting == kAuto || setting == kEmulator || setting == kKernel || setting == kPortIo;
}

std::optional<std::string> SmcBackendChoice::settingInFile(const std::string& text) {
    auto trimmed = [](const std::string& line) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) return std::string();
        return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    };
    std::optional<std::string> value;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        line = trimmed(line);
        const auto equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == ';' || equals == std::string::npos ||
            trimmed(line.substr(0, equals)) != "AMPWARDEN_SMC_BACKEND") {
            continue;
        }
        std::string found = trimmed(line.substr(equals + 1));
        if (found.size() >= 2 && (found[0] == '"' || found[0] == '\'') &&
            found.back() == found[0]) {
            found = found.substr(1, found.size() - 2);
        }
        value = found;
    }
    return value;
}

bool SmcBackendChoice::Report::anyUsable() const {
    for (const Backend& backend : backends) {
        if (backend.usable) return true;
    }
    return false;
}

std::string SmcBackendChoice::Report::line() const {
    std::string line =
        "SMC backend: " + (chosen.empty() ? std::string("none") : chosen) + " (" + setting + ")";
    std::string passed;
    for (const Backend& backend : backends) {
        if (backend.name == chosen) {
            line += ", backing " +
                    (backend.chargeKeys.empty() ? "no charge key" : joined(backend.chargeKeys)) +
                    " through " + joined(backend.uses);
        } else {
            const std::string why = backend.usable
                                        ? "backs " + std::to_string(backend.chargeKeys.size()) +
                                              " charge keys, fewer than the one chosen or a tie"
                                        : backend.why;
            passed += (passed.empty() ? "" : "; ") + backend.name + ": " + why;
        }
    }
    return passed.empty() ? line : line + "; passed over " + passed;
}

SmcBackendChoice::SmcBackendChoice(Setup setup) : setup_(std::move(setup)) {}

SmcBackendChoice::~SmcBackendChoice() = default;

SmcBackendChoice::Backend SmcBackendChoice::probeEmulator() {
    Backend backend{kEmulator, false, "", {}, {}, ""};
    const std::string socket = setup_.emulatorSocket.value_or(
        setup_.setting == kEmulator ? EmulatorSmcService::defaultSocketPath() : "");
    if (socket.empty()) {
        backend.why = "no emulator socket configured (LUMORA_SMC_EMULATOR, " +
                      EmulatorSmcService::defaultSocketPath() + ")";
        return backend;
    }
    backend.usable = true;
    backend.uses = {socket};
    emulator_ = std::make_unique<EmulatorSmcService>(socket);
    std::string silent;  // the emulator is taken all the same: it is there to be tested
    backend.chargeKeys = chargeKeysOf(*emulator_, silent);
    return backend;
}

SmcBackendChoice::Backend SmcBackendChoice::probeKernel() {
    Backend backend{kKernel, false, "", {}, {}, ""};
    const auto attributes = KernelAttributeSmcService::find(setup_.files, backend.why);
    if (!attributes) return backend;
    backend.note = outsideTheService(*attributes);
    for (const std::string& file : attributes->files()) {
        backend.uses.push_back(setup_.files.path(file));
        if (const int error = setup_.files.writable(file); error != 0) {
            backend.why = "cannot write " + setup_.files.path(file) + ": " + std::strerror(error);
            if (!backend.note.empty()) backend.why += " (" + backend.note + ")";
            return backend;
        }
    }
    kernel_ = std::make_unique<KernelAttributeSmcService>(setup_.files, *attributes);
    std::string unused;  // its key information is a table look-up, which cannot fail so
    backend.chargeKeys = chargeKeysOf(*kernel_, unused);
    backend.usable = true;
    return backend;
}

bool SmcBackendChoice::portsSafe(std::string& why) const {
    const HostFiles& files = setup_.files;
    const std::string vendor = files.read("/sys/class/dmi/id/sys_vendor").value_or("");
    const std::string board = files.read("/sys/class/dmi/id/board_vendor").value_or("");
    if (vendor.rfind("Apple", 0) != 0 && board.rfind("Apple", 0) != 0) {
        const std::string said = vendor.empty() ? board : vendor;
        return failed(why, std::string("not an Apple machine (") +
                               (said.empty() ? "no DMI vendor" : "vendor \"" + said + "\"") +
                               "); elsewhere port 0x300 may be another device");
    }
    const auto ioports = files.read("/proc/ioports");
    if (!ioports) return failed(why, "cannot read " + files.path("/proc/ioports"));
    bool blind = false;
    const std::string claims = portClaims(*ioports, blind);
    // Without CAP_SYS_ADMIN the kernel shows every address as 0 (as in our service). Then the
    // firmware's own word stands: the ACPI device of the SMC, which declares these ports.
    if (blind && !files.exists(kAcpiSmc)) {
        return failed(why, "cannot see the port map in " + files.path("/proc/ioports") +
                               " (needs CAP_SYS_ADMIN) and there is no ACPI SMC device " +
                               files.path(kAcpiSmc));
    }
    if (!claims.empty()) return failed(why, "ports 0x300-0x31f are claimed by " + claims);
    if (auto lockdown = files.read("/sys/kernel/security/lockdown")) {
        if (bracketed(*lockdown) != "none") {
            return failed(why,
                          "kernel lockdown (" + bracketed(*lockdown) + ") forbids I/O port access");
        }
    }
    return true;
}

SmcBackendChoice::Backend SmcBackendChoice::probePorts() {
    Backend backend{kPortIo, false, "", {"I/O ports 0x300-0x31f"}, {}, ""};
    if (!portsSafe(backend.why)) return backend;
    std::unique_ptr<PortIo> ports = setup_.openPorts ? setup_.openPorts(backend.why) : nullptr;
    if (!ports) return backend;
    auto service = std::make_unique<PortIoSmcService>(std::move(ports), setup_.lockPath);
    if (!setup_.lockPath.empty()) backend.uses.push_back(setup_.lockPath);
    if (!service->probe(backend.why)) {
        backend.why = "probe failed: " + backend.why;
        return backend;
    }
    backend.chargeKeys = chargeKeysOf(*service, backend.why);
    if (!backend.why.empty()) {
        backend.why = "probe failed: " + backend.why;
        return backend;
    }
    backend.usable = true;
    ports_ = std::move(service);
    return backend;
}

void SmcBackendChoice::pick(Report& report, const std::string& name) {
    report.chosen = name;
    std::unique_ptr<SmcService>* slot = name == kEmulator ? &emulator_
                                        : name == kKernel ? &kernel_
                                        : name == kPortIo ? &ports_
                                                          : nullptr;
    chosen_ = slot != nullptr ? std::move(*slot) : nullptr;
}

SmcBackendChoice::Report SmcBackendChoice::choose() {
    Report report{setup_.setting, {}, "", ""};
    const std::string& setting = setup_.setting;
    if (setting == kEmulator || setting == kKernel || setting == kPortIo) {
        report.backends.push_back(setting == kEmulator ? probeEmulator()
                                  : setting == kKernel ? probeKernel()
                                                       : probePorts());
        pick(report, report.backends[0].usable ? setting : "");
        return report;
    }
    if (setting != kAuto) {
        report.backends.push_back({setting,
                                   false,
                                   "unknown AMPWARDEN_SMC_BACKEND (auto, emulator, kernel or "
                                   "port-io)",
                                   {},
                                   {},
                                   ""});
        pick(report, "");
        return report;
    }
    report.backends.push_back(probeEmulator());
    if (report.backends[0].usable) {
        pick(report, kEmulator);
        return report;
    }
    report.backends.push_back(probeKernel());
    report.backends.push_back(probePorts());
    pick(report,
         autoRule(setup_.emulatorSocket.has_value(), report.backends[1], report.backends[2]));
    return report;
}

std::string SmcBackendChoice::autoRule(bool emulator, const Backend& kernel, const Backend& ports) {
    if (emulator) return kEmulator;
    if (ports.usable && (!kernel.usable || ports.chargeKeys.size() > kernel.chargeKeys.size())) {
        return kPortIo;
    }
    return kernel.usable ? kKernel : "";
}

SmcBackendChoice::Report SmcBackendChoice::probeAll() {
    const Report chosen = choose();
    Report report{chosen.setting, {}, chosen.chosen, ""};
    for (const char* name : {kEmulator, kKernel, kPortIo}) {
        const Backend* seen = nullptr;
        for (const Backend& backend : chosen.backends) {
            if (backend.name == name) seen = &backend;
        }
        report.backends.push_back(seen != nullptr                  ? *seen
                                  : std::string(name) == kEmulator ? probeEmulator()
                                  : std::string(name) == kKernel   ? probeKernel()
                                                                   : probePorts());
    }
    report.autoPick =
        autoRule(setup_.emulatorSocket.has_value(), report.backends[1], report.backends[2]);
    return report;
}

std::unique_ptr<SmcService> SmcBackendChoice::takeService() {
    if (!chosen_) return std::make_unique<AbsentSmcService>();
    return std::move(chosen_);
}

std::unique_ptr<SmcService> SmcBackendChoice::make(Setup setup, Diagnostics& log) {
    SmcBackendChoice choice(std::move(setup));
    log.systemLog(choice.choose().line());
    return choice.takeService();
}

}  // namespace ampwarden
