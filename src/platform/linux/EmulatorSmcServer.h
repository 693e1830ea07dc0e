#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "emulator/EmulatorFrame.h"
#include "emulator/SmcEmulator.h"
#include "platform/linux/UniqueFd.h"

namespace ampwarden {

// Serves an emulated SMC on a Unix stream socket to any number of clients at once, one
// request frame and one reply frame at a time per client (see EmulatorFrame). Runs on the
// thread that calls run(); the device is only touched there.
class EmulatorSmcServer {
  public:
    EmulatorSmcServer(SmcEmulator& device, std::string socketPath);
    // Removes the socket if this server created it.
    ~EmulatorSmcServer();
    EmulatorSmcServer(const EmulatorSmcServer&) = delete;
    EmulatorSmcServer& operator=(const EmulatorSmcServer&) = delete;

    // Creates the socket's folder if missing, replaces a socket that nobody serves any more,
    // then binds and listens. Empty on success, else what went wrong. Refuses to replace
    // anything that is not a socket, or a socket another server still answers on.
    std::string listen();

    // Serves clients until stop() is called. A client that hangs up, or does not take its
    // reply, is dropped; the others go on.
    void run();

    // Makes run() return. Safe from any thread and from a signal handler.
    void stop();

    const std::string& socketPath() const { return path_; }

  private:
    struct Client {
        UniqueFd fd;
        EmulatorFrame::Bytes request{};
        std::size_t filled = 0;
    };

    void acceptClients();
    // Reads what the client sent and answers every whole request; false once it is gone.
    bool serve(Client& client);
    bool drainWakeups();

    SmcEmulator& device_;
    std::string path_;
    UniqueFd listener_;
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::vector<Client> clients_;
    bool ownsSocket_ = false;
};

}  // namespace ampwarden
