#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "ampwardenctl/BatterySettings.h"
#include "ampwardenctl/CommandTable.h"

namespace ampwarden::ctl {

enum class Mode {
    Exchange,    // post one command, then wait for its answers
    Watch,       // print every answer until interrupted
    App,         // be the battery app until interrupted
    Status,      // print the helper's and the app's state
    FullCharge,  // ask the running app to charge to full once
    AppChange,   // change a setting of the running app
};

struct Invocation {
    Mode mode = Mode::Exchange;
    std::string command;  // the command name to post (Exchange only)
    AnswerSteps answers;  // what to wait for after posting; empty: return at once
    bool json = false;
    // How long to wait; none when not given (an exchange then waits kDefaultTimeoutSeconds,
    // watch and app run until interrupted).
    std::optional<double> timeoutSeconds;
    // App only: --limit, --keep and --discharge-to as given, in order; they override the
    // settings file.
    std::vector<std::pair<std::string, std::string>> settings;
    // AppChange, and `limit`: the setting the running app is to change (and keep).
    std::optional<SettingChange> appChange;
};

inline constexpr double kDefaultTimeoutSeconds = 5.0;

// --help or --version was asked for: print this to standard output and exit 0.
struct HelpText {
    std::string text;
};

// The command line makes no sense: print this to standard error and exit 2.
struct UsageError {
    std::string message;
};

using ParsedCommandLine = std::variant<Invocation, HelpText, UsageError>;

// Parses the arguments after the program name. Options may stand before or after the verb;
// "--" ends the options (so `post -- --odd-name` posts "--odd-name").
ParsedCommandLine parseCommandLine(const std::vector<std::string>& arguments);

}  // namespace ampwarden::ctl
