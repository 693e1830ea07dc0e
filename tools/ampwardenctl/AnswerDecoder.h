#pragma once

#include <systemd/sd-bus.h>

#include <optional>
#include <string>

#include "ampwardenctl/Answer.h"

namespace ampwarden::ctl {

// Reads a Distributed signal (name and a{sv} dictionary) from its start. A signal of another
// shape yields none, with the reason in `error`.
std::optional<Answer> decodeAnswer(sd_bus_message* message, std::string& error);

}  // namespace ampwarden::ctl
