#pragma once

#include <string>

#include "platform/CommandAuthority.h"
#include "platform/linux/AsyncBusCalls.h"

namespace ampwarden {

// Who may command the helper, as the system decides it: the bus daemon tells a sender's uid
// and pid; polkit decides on the sender's bus name (so polkit itself pins the process), with
// the actions of the helper's .policy file; where polkit is neither running nor activatable,
// only the user of seat0's active session (logind) may control the charging, and nobody but
// root may uninstall. Every question is asynchronous and bounded in time.
class BusCommandAuthority : public CommandAuthority {
  public:
    static constexpr const char* kControlAction = "lumora.Ampwarden.control";
    static constexpr const char* kUninstallAction = "lumora.Ampwarden.uninstall";

    // `bus` may be null (no connection): nothing is then known and nothing allowed.
    explicit BusCommandAuthority(sd_bus* bus);

    void credentials(const std::string& sender, CredentialsCallback done) override;
    void check(const std::string& sender, const SenderCredentials& credentials,
               CommandAction action, bool interactive, VerdictCallback done) override;
    void consoleUser(ConsoleCallback done) override;

  private:
    static SenderCredentials readCredentials(sd_bus_message* reply);
    static AuthorityVerdict readPolkitVerdict(sd_bus_message* reply, bool interactive);
    void checkWithoutPolkit(std::uint32_t uid, CommandAction action, VerdictCallback done);
    // What logind says of seat0: `failure` empty and `uid` none when no session is active.
    struct SeatAnswer {
        std::optional<std::uint32_t> uid;
        std::string failure;
    };
    using SeatCallback = std::function<void(const SeatAnswer&)>;
    void activeSessionUser(SeatCallback done);
    void sessionUser(const std::string& sessionPath, SeatCallback done);
    sd::MessagePtr propertyCall(const char* path, const char* interface, const char* property);

    AsyncBusCalls calls_;
};

}  // namespace ampwarden
