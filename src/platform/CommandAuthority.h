#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ampwarden {

// What a state-changing command asks for: charge control, or removing the helper.
enum class CommandAction { Control, Uninstall };

// Who is behind a bus connection, as the bus daemon knows it.
struct SenderCredentials {
    bool known = false;  // false: the sender is gone, or the bus did not say
    bool gone = false;   // the sender has left the bus
    std::uint32_t uid = 0;
    std::uint32_t pid = 0;
    std::string failure;  // why it is not known
};

// The answer of an authority check. `decided` false means nobody could tell (no answer, an
// error of the authority itself): callers treat it as "no" for commands and as "unknown"
// where a previous state can be kept.
struct AuthorityVerdict {
    bool decided = false;
    bool allowed = false;
    std::string reason;
};

// Decides whether a bus connection (its unique name) may perform an action on the helper.
// Both calls answer exactly once, on the main loop, possibly before they return. They never
// block the loop; their own waits are bounded, and callers bound them again.
class CommandAuthority {
  public:
    using CredentialsCallback = std::function<void(const SenderCredentials&)>;
    using VerdictCallback = std::function<void(const AuthorityVerdict&)>;
    // The uid of the user of seat0's active session; none when nobody is active there or the
    // login manager cannot tell.
    using ConsoleCallback = std::function<void(std::optional<std::uint32_t>)>;

    virtual ~CommandAuthority() = default;

    virtual void credentials(const std::string& sender, CredentialsCallback done) = 0;
    // For a sender whose credentials are known and whose uid is not 0. With `interactive`
    // the authority may ask the user (a password prompt), which can take a while.
    virtual void check(const std::string& sender, const SenderCredentials& credentials,
                       CommandAction action, bool interactive, VerdictCallback done) = 0;
    virtual void consoleUser(ConsoleCallback done) = 0;
};

}  // namespace ampwarden
