#include "ampwardenctl/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "BuildInfo.h"
#include "protocol/CommandProtocol.h"
#include "protocol/NotificationNames.h"

namespace ampwarden::ctl {
namespace {

constexpr double kMaxTimeoutSeconds = 86400.0;

// A verb posts the command the protocol table gives its words ("open"), one of two for its
// words and "on" or "off", a name from the command line, or nothing at all (watch, app).
struct VerbEntry {
    const char* name;
    const char* arguments;  // "on|off" for the verbs that take it
    const char* summary;
    Mode mode = Mode::Exchange;
    bool takesName = false;
};

const std::vector<VerbEntry>& verbs() {
    static const std::vector<VerbEntry> table = {
        {"open", "", "open the SMC connection"},
        {"close", "", "close the SMC connection (charging is allowed again)"},
        {"smc-status", "", "whether the helper holds the SMC connection"},
        {"charging-status", "", "the charging and discharging state"},
        {"charge", "on|off", "resume or stop charging"},
        {"discharge", "on|off", "start or stop forced discharging"},
        {"limit", "on|off", "enable or disable the charge limit (a running app keeps it)"},
        {"uninstall", "", "close the SMC connection, then remove the helper's installation"},
        {"daemon-info", "[--global]", "the helper's run state and version"},
        {"post", "NAME", "post a raw command name; wait for its answers if it has any",
         Mode::Exchange, true},
        {"watch", "", "print every answer until interrupted", Mode::Watch},
        {"app", "[SETTINGS]",
         "as the battery app, hold the battery at the set level until interrupted", Mode::App},
        {"status", "", "the helper's state, the battery and what the app holds", Mode::Status},
        {"full-charge", "", "ask the running app to charge to full once, then hold again",
         Mode::FullCharge},
        {"keep", "LOW-HIGH|off", "the running app holds the battery between LOW and HIGH %",
         Mode::AppChange},
        {"discharge-to", "N|off", "the running app discharges down to N % on mains",
         Mode::AppChange},
    };
    return table;
}

// The command the protocol table gives to `verb` followed by `word` ("on", "--global"), or
// to `verb` alone when `word` is empty; null for none.
const char* commandOf(const VerbEntry& verb, const std::string& word = "") {
    const protocol::CommandEntry* command =
        protocol::findVerb(word.empty() ? std::string(verb.name) : verb.name + (" " + word));
    return command ? command->name : nullptr;
}

bool onOff(const VerbEntry& verb) { return std::string(verb.arguments) == "on|off"; }

const VerbEntry* findVerb(const std::string& name) {
    for (const auto& verb : verbs()) {
        if (name == verb.name) return &verb;
    }
    return nullptr;
}

struct Options {
    bool json = false;
    bool help = false;
    bool version = false;
    bool global = false;
    std::optional<double> timeoutSeconds;
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> settings;
};

constexpr const char* kSettingOptions[] = {"--limit", "--keep", "--discharge-to"};

// --limit, --keep and --discharge-to, with their value as the next argument or after '='.
// Returns false when `option` is none of them.
bool takeSetting(Options& options, const std::string& option,
                 const std::vector<std::string>& arguments, std::size_t& index,
                 std::string& problem) {
    for (const char* name : kSettingOptions) {
        std::string prefix = std::string(name) + "=";
        if (option != name && option.rfind(prefix, 0) != 0) continue;
        std::string value;
        if (option == name) {
            if (index + 1 >= arguments.size()) {
                problem = std::string(name) + " needs a value";
                return true;
            }
            value = arguments[++index];
        } else {
            value = option.substr(prefix.size());
        }
        options.settings.emplace_back(name + 2, value);
        return true;
    }
    return false;
}

std::optional<double> parseSeconds(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > kMaxTimeoutSeconds) {
        return std::nullopt;
    }
    return seconds;
}

UsageError usage(const std::string& problem) {
    return {"ampwardenctl: " + problem + "\nTry 'ampwardenctl --help'."};
}

// Applies one option; `next` is the argument after it, consumed by --timeout. Returns an
// error text, empty on success.
std::string applyOption(Options& options, const std::string& option,
                        const std::vector<std::string>& arguments, std::size_t& index) {
    if (option == "--json") {
        options.json = true;
    } else if (option == "--help" || option == "-h") {
        options.help = true;
    } else if (option == "--version") {
        options.version = true;
    } else if (option == "--global") {
        options.global = true;
    } else if (option == "--timeout" || option.rfind("--timeout=", 0) == 0) {
        std::string value;
        if (option == "--timeout") {
            if (index + 1 >= arguments.size()) return "--timeout needs a number of seconds";
            value = arguments[++index];
        } else {
            value = option.substr(std::string("--timeout=").size());
        }
        auto seconds = parseSeconds(value);
        if (!seconds) return "--timeout takes seconds above 0 and up to 86400, not '" + value + "'";
        options.timeoutSeconds = *seconds;
    } else {
        std::string problem;
        if (!takeSetting(options, option, arguments, index, problem)) {
            return "unknown option '" + option + "'";
        }
        return problem;
    }
    return "";
}

std::variant<Options, UsageError> scanArguments(const std::vector<std::string>& arguments) {
    Options options;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            options.positional.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (auto problem = applyOption(options, argument, arguments, i); !problem.empty()) {
            return usage(problem);
        }
    }
    return options;
}

std::string describeAnswers(const std::string& command) {
    AnswerSteps steps = expectedAnswers(command);
    if (steps.empty()) return "    no answer: returns as soon as it is posted\n";
    std::string text;
    for (const auto& step : steps) {
        text += (text.empty() ? "    waits for " : "    then for ") + describeStep(step) + "\n";
    }
    return text;
}

std::string programHelp() {
    std::string text =
        "Usage: ampwardenctl [--json] [--timeout SECONDS] VERB [ARGUMENTS]\n\n"
        "Posts the battery helper's commands on the system bus and prints its answers, as the\n"
        "battery app would. The bus is the one DBUS_SYSTEM_BUS_ADDRESS names, else the system "
        "bus.\n\nVerbs:\n";
    for (const auto& verb : verbs()) {
        std::string synopsis = std::string(verb.name) + " " + verb.arguments;
        synopsis.resize(std::max<std::size_t>(synopsis.size(), 26), ' ');
        text += "  " + synopsis + " " + verb.summary + "\n";
    }
    return text +
           "\nOptions:\n"
           "  --json                     one JSON object per answer, one per line\n"
           "  --timeout SECONDS          how long to wait for all answers (default 5); ends watch\n"
           "                             and app after that long\n"
           "  --help                     this text; VERB --help tells about one verb\n"
           "  --version                  the version and build number\n"
           "  --limit on|off, --keep LOW-HIGH, --discharge-to N\n"
           "                             app: override the settings file (one of --keep and\n"
           "                             --discharge-to)\n"
           "\nSettings file:\n"
           "  The app reads $XDG_CONFIG_HOME/lumora/battery.conf, else\n"
           "  ~/.config/lumora/battery.conf: 'key = value' lines, '#' starts a comment.\n\n"
           "  limit = on|off             the helper's charge limit on or off\n"
           "  keep = LOW-HIGH            stop charging at HIGH %, resume at LOW % (LOW below "
           "HIGH)\n"
           "  discharge-to = N           on mains, discharge down to N % (1 to 100), then hold\n"
           "                             there; keep and discharge-to replace each other\n"
           "  notify = on|off            tell the desktop when something is wrong (default on)\n"
           "  notify-holds = on|off      tell it each time what the app holds changes (default\n"
           "                             off)\n"
           "  keep, discharge-to and limit change the running app's settings at once, and\n"
           "  write them into this file.\n"
           "\nEnvironment:\n"
           "  DBUS_SYSTEM_BUS_ADDRESS    the bus to use instead of the system bus\n"
           "  DBUS_SESSION_BUS_ADDRESS   the session bus, where the app serves lumora.Battery\n"
           "                             (else $XDG_RUNTIME_DIR/bus)\n"
           "  XDG_CONFIG_HOME, HOME      where the settings file is\n"
           "  XDG_STATE_HOME             where a charge to full once is noted\n"
           "  XDG_RUNTIME_DIR            where the app publishes what it holds, for status\n"
           "  AMPWARDEN_SMC_BACKEND      status: the SMC backend to report (auto, emulator,\n"
           "                             kernel or port-io), else /etc/default/ampwarden's\n"
           "  LUMORA_SMC_EMULATOR        status: the emulated SMC's socket\n"
           "  SUDO_UID                   status as root under sudo: whose app to show first\n"
           "\nFiles:\n"
           "  ~/.config/lumora/battery.conf\n"
           "                             the app's settings\n"
           "  ~/.local/state/lumora/charge-to-full-once\n"
           "                             a charge to full once not finished yet\n"
           "  $XDG_RUNTIME_DIR/lumora/battery-app.state\n"
           "                             what the running app holds; status as root looks in\n"
           "                             every /run/user/UID/lumora/\n"
           "  /etc/default/ampwarden     the helper service's AMPWARDEN_SMC_BACKEND\n"
           "  /sys/class/power_supply/   the battery and mains when UPower is not running\n"
           "  /run/lumora/smc-emulator.sock\n"
           "                             the emulated SMC, when no LUMORA_SMC_EMULATOR is set\n"
           "\nExit status:\n"
           "  0 done; 1 an answer did not come, the helper could not write the keys the\n"
           "  command sets, the bus failed, or (keep, discharge-to, full-charge) no app runs\n"
           "  or it refused the change; 2 usage error; 78 app: the settings file cannot be\n"
           "  used (its user service then stays stopped).\n"
           "\nExamples:\n"
           "  ampwardenctl charge off    stop charging now\n"
           "  ampwardenctl --json charging-status\n"
           "                             the charging state as one JSON object\n"
           "  ampwardenctl keep 75-80    the running app holds 75 to 80 % from now on\n"
           "  ampwardenctl full-charge   charge to 100 % once, for a trip\n"
           "  ampwardenctl app --keep 75-80 --limit on\n"
           "                             hold the battery between 75 and 80 % until Ctrl-C\n"
           "  systemctl --user enable --now lumora.Battery.service\n"
           "                             the same from battery.conf, as a user service\n"
           "  ampwardenctl status        the helper, the battery and what the app holds\n"
           "  ampwardenctl watch         every answer the helper sends, until Ctrl-C\n";
}

std::string commandLines(const VerbEntry& verb) {
    std::string text;
    auto describe = [&text](const std::string& label, const char* command) {
        text += label + "posts \"" + command + "\"\n" + describeAnswers(command);
    };
    if (onOff(verb)) {
        describe("on: ", commandOf(verb, "on"));
        describe("off: ", commandOf(verb, "off"));
    } else if (commandOf(verb)) {
        describe("", commandOf(verb));
        if (commandOf(verb, "--global")) describe("--global: ", commandOf(verb, "--global"));
    }
    if (verb.mode == Mode::App) {
        text +=
            "SETTINGS: --limit on|off, --keep LOW-HIGH or --discharge-to N.\n"
            "Settings come from $XDG_CONFIG_HOME/lumora/battery.conf (else\n"
            "~/.config/lumora/battery.conf), 'key = value' lines, '#' starting a comment:\n"
            "limit = on|off, keep = LOW-HIGH (stop charging at HIGH, resume at LOW),\n"
            "discharge-to = N (on mains, discharge down to N, then hold there). The options\n"
            "override the file; with nothing set, nothing is changed. A file that cannot be\n"
            "used ends it with status 78. On exit it posts \"close\": charging comes back.\n";
    }
    if (verb.mode == Mode::FullCharge) {
        text +=
            "The app running on this user's session bus charges to 100 %, its settings and\n"
            "charge limit set aside, until the battery is full or mains is unplugged; then it\n"
            "holds its settings again. status shows it meanwhile.\n";
    }
    if (verb.mode == Mode::AppChange || std::string(verb.name) == "limit") {
        text +=
            "The app running on this user's session bus (lumora.Battery) changes the setting\n"
            "at once and writes it into its settings file.";
        text += verb.mode == Mode::AppChange
                    ? " 'off' removes it; keep and\n"
                      "discharge-to replace each other. Nothing happens when no app runs.\n"
                    : " With no app running, the\n"
                      "helper is asked directly, and nothing keeps the limit.\n";
    }
    if (verb.takesName) {
        text +=
            "A command name of the protocol waits for the answers its verb waits for; any\n"
            "other name (an unknown one included) returns as soon as it is posted.\n";
    }
    if (commandOf(verb) && !silenceHint(commandOf(verb)).empty()) {
        text += "It may go unanswered: " + silenceHint(commandOf(verb)) + ".\n";
    }
    return text;
}

std::string verbHelp(const VerbEntry& verb) {
    std::string synopsis = verb.name;
    if (*verb.arguments) synopsis += std::string(" ") + verb.arguments;
    std::string summary = verb.summary;
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    return "Usage: ampwardenctl [--json] [--timeout SECONDS] " + synopsis + "\n\n" + summary +
           ".\n" + commandLines(verb);
}

std::variant<std::string, UsageError> commandFor(const VerbEntry& verb, const Options& options) {
    const auto& args = options.positional;
    std::string name = verb.name;
    if (options.global && !commandOf(verb, "--global")) {
        return usage("--global belongs to daemon-info");
    }
    if (!options.settings.empty() && verb.mode != Mode::App) {
        return usage("--limit, --keep and --discharge-to belong to app");
    }
    auto given = [&options](const char* setting) {
        return std::any_of(options.settings.begin(), options.settings.end(),
                           [setting](const auto& named) { return named.first == setting; });
    };
    // Each names the one level to hold: both at once is a mistake, not a choice to guess at.
    if (given("keep") && given("discharge-to")) {
        return usage("--keep and --discharge-to cannot both be given: choose one level to hold");
    }
    if (verb.takesName) {
        if (args.size() != 2) return usage("post takes exactly one command name");
        return args[1];
    }
    if (verb.mode == Mode::AppChange) {
        if (args.size() != 2) return usage(name + " takes " + verb.arguments);
        BatterySettings scratch;
        if (args[1] != "off") {
            std::string problem = applySetting(scratch, {name, args[1]});
            if (!problem.empty()) return usage(problem);
        }
        return std::string();
    }
    if (onOff(verb)) {
        if (args.size() == 2 && (args[1] == "on" || args[1] == "off")) {
            return std::string(commandOf(verb, args[1]));
        }
        return usage(name + " takes 'on' or 'off'");
    }
    if (args.size() != 1) return usage(name + " takes no arguments");
    const char* command = commandOf(verb, options.global ? "--global" : "");
    return std::string(command ? command : "");
}

}  // namespace

ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    auto scanned = scanArguments(arguments);
    if (auto* error = std::get_if<UsageError>(&scanned)) return *error;
    const Options& options = std::get<Options>(scanned);
    if (options.version) {
        return HelpText{std::string("ampwardenctl ") + build::kShortVersion + " (build " +
                        build::kBuildNumber + ")\n"};
    }
    if (options.positional.empty()) {
        if (options.help) return HelpText{programHelp()};
        return usage("no verb given");
    }
    const VerbEntry* verb = findVerb(options.positional[0]);
    if (!verb) return usage("unknown verb '" + options.positional[0] + "'");
    if (options.help) return HelpText{verbHelp(*verb)};
    auto command = commandFor(*verb, options);
    if (auto* error = std::get_if<UsageError>(&command)) return *error;
    Invocation invocation;
    invocation.mode = verb->mode;
    invocation.command = std::get<std::string>(command);
    invocation.answers = expectedAnswers(invocation.command);
    invocation.json = options.json;
    invocation.timeoutSeconds = options.timeoutSeconds;
    invocation.settings = options.settings;
    if (verb->mode == Mode::AppChange || invocation.command == names::kSetEnableChargingLimitMax ||
        invocation.command == names::kSetDisableChargingLimitMax) {
        const std::string& value = options.positional[1];
        invocation.appChange =
            SettingChange{verb->name, value == "off" && verb->mode == Mode::AppChange
                                          ? std::nullopt
                                          : std::optional<std::string>(value)};
    }
    return invocation;
}

}  // namespace ampwarden::ctl
