#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "ampwardenctl/Notifier.h"
#include "platform/Diagnostics.h"
#include "platform/linux/SdPointers.h"

namespace ampwarden::ctl {

// Notices through the desktop's notification server (org.freedesktop.Notifications) on the
// session bus. Without a bus it shows nothing; a server that is missing or fails is told to
// the log once.
class DesktopNotifier : public Notifier {
  public:
    // `bus` (may be null) must outlive this object.
    DesktopNotifier(sd_bus* bus, Diagnostics& log) : bus_(bus), log_(log) {}

    void notify(const std::string& topic, const std::string& summary,
                const std::string& body) override;

  private:
    struct Pending;
    static int onReply(sd_bus_message* reply, void* pending, sd_bus_error* error);

    sd_bus* bus_;
    Diagnostics& log_;
    std::map<std::string, std::uint32_t> shown_;  // the server's id of each topic's last notice
    bool toldFailure_ = false;
};

}  // namespace ampwarden::ctl
