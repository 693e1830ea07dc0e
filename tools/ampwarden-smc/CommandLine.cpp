#include "CommandLine.h"

#include <charconv>

#include "emulator/KeyTableFile.h"

namespace ampwarden::smctool {

const char* const kHelpText = R"(Usage: ampwarden-smc COMMAND

Reads, writes and lists the SMC's keys and drives its fans, through the helper's own
SMC code. The SMC is the one AMPWARDEN_SMC_BACKEND picks (auto, emulator, kernel or
port-io; see probe), from the environment, else from /etc/default/ampwarden as the
service reads it: the emulated one on $LUMORA_SMC_EMULATOR or
/run/lumora/smc-emulator.sock (start it with ampwarden-smc-emulator), the kernel's battery
attributes, or the SMC's I/O ports on an Apple machine.

Commands:
  probe                    every SMC backend: usable here or why not, what auto picks
  list                     every key, one per line
  read KEY                 one key
  write KEY HEXBYTES       set a key's bytes (exactly as many as it holds), then read it
  set KEY VALUE            set a key to a decimal number, encoded with the key's type
                           (ui8, ui16, ui32, flag, fpe2, sp78), then read it; a number
                           the type cannot hold is refused
  fan mode N auto|forced   hand fan N (0 to 9) to the SMC, or force it
  fan speed N RPM          set fan N's target speed (0 to the fan's maximum)
  fan reset                hand every fan back to the SMC
  -h, --help               show this text
  --version                the version and build number

A key is printed as five tab-separated fields: KEY TYPE SIZE HEXBYTES VALUE. VALUE is
the number the bytes stand for under the type, the name of a fan descriptor, the byte
of a one-byte hex_ or flag key, else "-". The fan commands print the keys they changed.
A KEY has four characters; a shorter one is padded with blanks ('FS!' is "FS! ").
The SMC's own diagnostics go to standard error.

Exit status:
  0 done (probe: a backend is usable), 1 no SMC device or the device refused,
  2 bad usage.

Examples:
  ampwarden-smc probe              which SMC backend is usable here, and why
  ampwarden-smc read BCLM          prints  BCLM  ui8   1  64  100
  ampwarden-smc write CH0B 02      CH0B := 0x02
  ampwarden-smc set BCLM 80        BCLM := 80 % (write BCLM 50 says the same in hex)
  ampwarden-smc fan speed 0 3000   set fan 0's target speed to 3000 rpm
  ampwarden-smc list | cut -f1,5   every key with its value
)";

namespace {

std::string padded(std::string key) {
    if (key.size() < 4) key.append(4 - key.size(), ' ');
    return key;
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
    std::int64_t value = 0;
    auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::vector<std::uint8_t>> parseHex(std::string text) {
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text.erase(0, 2);
    if (text.empty() || text == "-" || text.size() > 64) return std::nullopt;
    return KeyTableFile::parseHex(text);
}

std::optional<FanMode> parseMode(const std::string& text) {
    if (text == "auto" || text == "automatic") return FanMode::automatic;
    if (text == "forced") return FanMode::forced;
    return decodeFanMode(text);
}

std::optional<Command> usage(std::string& error, std::string message) {
    error = std::move(message);
    return std::nullopt;
}

std::optional<Command> parseFan(const std::vector<std::string>& args, std::string& error) {
    Command command;
    if (args.size() == 2 && args[1] == "reset") {
        command.verb = Verb::fanReset;
        return command;
    }
    if (args.size() != 4 || (args[1] != "mode" && args[1] != "speed")) {
        return usage(error, "expected: fan mode N auto|forced, fan speed N RPM or fan reset");
    }
    const auto fan = parseInteger(args[2]);
    if (!fan) return usage(error, "fan index is not a whole number: " + args[2]);
    command.fan = *fan;
    if (args[1] == "mode") {
        const auto mode = parseMode(args[3]);
        if (!mode) return usage(error, "fan mode is auto or forced, not " + args[3]);
        command.verb = Verb::fanMode;
        command.mode = *mode;
    } else {
        const auto speed = parseInteger(args[3]);
        if (!speed) return usage(error, "fan speed is not a whole number: " + args[3]);
        command.verb = Verb::fanSpeed;
        command.speed = *speed;
    }
    return command;
}

}  // namespace

std::optional<Command> parseCommandLine(const std::vector<std::string>& args, std::string& error) {
    Command command;
    const std::size_t count = args.size();
    if (count == 0) return usage(error, "no command given");
    const std::string& verb = args[0];
    if (verb == "-h" || verb == "--help" || verb == "help") return command;
    if (verb == "--version" && count == 1) {
        command.verb = Verb::version;
        return command;
    }
    if (verb == "probe" && count == 1) {
        command.verb = Verb::probe;
    } else if (verb == "list" && count == 1) {
        command.verb = Verb::list;
    } else if (verb == "read" && count == 2) {
        command.verb = Verb::read;
        command.key = padded(args[1]);
    } else if (verb == "write" && count == 3) {
        command.verb = Verb::write;
        command.key = padded(args[1]);
        auto bytes = parseHex(args[2]);
        if (!bytes) return usage(error, "not 1 to 32 bytes in hex: " + args[2]);
        command.bytes = std::move(*bytes);
    } else if (verb == "set" && count == 3) {
        command.verb = Verb::set;
        command.key = padded(args[1]);
        const std::string& text = args[2];
        auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), command.number,
                                             std::chars_format::fixed);
        if (status != std::errc() || end != text.data() + text.size() || text.empty()) {
            return usage(error, "not a decimal number: " + text);
        }
    } else if (verb == "fan") {
        return parseFan(args, error);
    } else {
        return usage(error, "unknown command or wrong arguments: " + verb);
    }
    return command;
}

}  // namespace ampwarden::smctool
