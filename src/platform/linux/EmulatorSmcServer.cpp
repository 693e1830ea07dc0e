#include "platform/linux/EmulatorSmcServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ampwarden {

namespace {

std::string describeErrno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool makeAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Creates every missing folder above `path`.
std::string makeParentFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            return describeErrno("cannot create " + folder);
        }
    }
    return "";
}

// True when some process accepts connections on the socket at `address`.
bool someoneServes(const sockaddr_un& address) {
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.valid() && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                                      sizeof(address)) == 0;
}

// Clears the way for a new socket at `path`: nothing there, or a socket left by a dead server.
std::string clearStaleSocket(const std::string& path, const sockaddr_un& address) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT ? "" : describeErrno(path);
    if (!S_ISSOCK(info.st_mode)) return path + " exists and is not a socket";
    if (someoneServes(address)) return "another emulator is already serving " + path;
    if (::unlink(path.c_str()) != 0) return describeErrno("cannot remove " + path);
    return "";
}

}  // namespace

EmulatorSmcServer::EmulatorSmcServer(SmcEmulator& device, std::string socketPath)
    : device_(device), path_(std::move(socketPath)) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_.reset(pipeEnds[0]);
        wakeWrite_.reset(pipeEnds[1]);
    }
}

EmulatorSmcServer::~EmulatorSmcServer() {
    if (ownsSocket_) ::unlink(path_.c_str());
}

std::string EmulatorSmcServer::listen() {
    sockaddr_un address{};
    if (!makeAddress(path_, address)) return "socket path is empty or too long: " + path_;
    if (!wakeRead_.valid()) return "cannot create the wake-up pipe";
    if (std::string error = makeParentFolders(path_); !error.empty()) return error;
    if (std::string error = clearStaleSocket(path_, address); !error.empty()) return error;

    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener_.valid()) return describeErrno("socket");
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
        0) {
        return describeErrno("cannot bind " + path_);
    }
    ownsSocket_ = true;
    if (::listen(listener_.get(), SOMAXCONN) != 0) return describeErrno("listen");
    return "";
}

void EmulatorSmcServer::run() {
    std::vector<pollfd> watched;
    for (;;) {
        watched.assign({{wakeRead_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}});
        for (const Client& client : clients_) watched.push_back({client.fd.get(), POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[0].revents != 0 && drainWakeups()) return;
        // Serve before accepting: the indexes of `watched` follow clients_ as it was.
        for (std::size_t i = clients_.size(); i-- > 0;) {
            if (watched[i + 2].revents != 0 && !serve(clients_[i])) {
                clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (watched[1].revents != 0) acceptClients();
    }
}

void EmulatorSmcServer::stop() {
    const char byte = 1;
    if (wakeWrite_.valid() && ::write(wakeWrite_.get(), &byte, 1) < 0) {
        // The pipe is full, so a wake-up is pending already.
    }
}

bool EmulatorSmcServer::drainWakeups() {
    char buffer[64];
    bool woken = false;
    while (::read(wakeRead_.get(), buffer, sizeof(buffer)) > 0) woken = true;
    return woken;
}

void EmulatorSmcServer::acceptClients() {
    for (;;) {
        UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.valid()) return;
        clients_.push_back(Client{std::move(fd)});
    }
}

bool EmulatorSmcServer::serve(Client& client) {
    for (;;) {
        const ssize_t got = ::recv(client.fd.get(), client.request.data() + client.filled,
                                   client.request.size() - client.filled, 0);
        if (got < 0) return errno == EAGAIN || errno == EINTR;
        if (got == 0) return false;
        client.filled += static_cast<std::size_t>(got);
        if (client.filled < client.request.size()) continue;
        client.filled = 0;
        const EmulatorFrame::Bytes reply = device_.answer(client.request);
        // Clients wait for each reply, so it always fits the socket buffer; one that does
        // not read its replies is dropped rather than allowed to stall the others.
        if (::send(client.fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(reply.size())) {
            return false;
        }
    }
}

}  // namespace ampwarden
