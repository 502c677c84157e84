// The key relay between client processes and the device daemon (see
// KeyRelay.h for the route and the message format).
#include "KeyRelay.h"

#include <fcntl.h>
#include <pthread.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace tavro {

namespace {

constexpr size_t kRequestSize = 8;
constexpr int kMaxClients = 32;
// A client reads each answer before its next request, so more than a few
// unread answers mean a client that does not read at all.
constexpr size_t kMaxUnsentAnswers = 256;
// A daemon that does not take a connection, a request or give an answer
// within this time is taken as gone.
constexpr int kStepTimeoutMs = 1000;

socklen_t Address(sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const std::string name = KeyRelayName();
    const size_t length = std::min(name.size(), sizeof address->sun_path - 1);
    std::memcpy(address->sun_path + 1, name.data(), length);  // sun_path[0] = 0: abstract
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// Only the same user, or root, may use the other end.
bool TrustedPeer(int socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == getuid() || peer.uid == 0;
}

void Encode(unsigned long keysym, bool down, unsigned char* request) {
    const uint32_t symbol = static_cast<uint32_t>(keysym);
    std::memset(request, 0, kRequestSize);
    std::memcpy(request, &symbol, sizeof symbol);
    request[4] = down ? 1 : 0;
}

}  // namespace

std::string KeyRelayName() {
    // The IPC namespace's inode: the daemon and its clients share the
    // record's segment, hence the namespace.
    char link[64] = "";
    const ssize_t length = readlink("/proc/self/ns/ipc", link, sizeof link - 1);
    std::string ipc = length > 0 ? std::string(link, static_cast<size_t>(length)) : "ipc";
    std::string digits;
    for (char c : ipc)
        if (c >= '0' && c <= '9') digits += c;
    return "tavro-keys-" + std::to_string(getuid()) + "-" + (digits.empty() ? "0" : digits);
}

// ---- The daemon's end ----

namespace {
std::atomic<bool> g_servedByOwner{false};
}

void KeyRelayServer::ServeFromOwnersLoop() { g_servedByOwner.store(true); }

KeyRelayServer::KeyRelayServer(KeyFunction key, std::string* error) : key_(std::move(key)) {
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        if (error) *error = std::string("cannot serve other programs' keys: no pipe: ") + std::strerror(errno);
        return;
    }
    Listen(error);
}

bool KeyRelayServer::Listen(std::string* error) {
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address;
    const socklen_t size = Address(&address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener, 8) != 0) {
        if (error)
            *error = "cannot serve other programs' keys on the socket @" + KeyRelayName() + ": " +
                     std::strerror(errno) + (errno == EADDRINUSE ? " (another process holds the name; "
                                                                   "tried again every few seconds)"
                                                                 : "");
        if (listener >= 0) close(listener);
        return false;
    }
    listener_ = listener;
    if (!g_servedByOwner.load())
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "tavro-keyrelay");
            Serve();
        });
    return true;
}

bool KeyRelayServer::ListenAgain() {
    if (listener_ >= 0 || wake_[0] < 0) return false;
    return Listen(nullptr);
}

KeyRelayServer::~KeyRelayServer() {
    if (thread_.joinable()) {
        const char stop = 1;
        (void)!write(wake_[1], &stop, 1);
        thread_.join();
    }
    while (!clients_.empty()) Drop(clients_.begin()->first);
    if (listener_ >= 0) close(listener_);
    for (int fd : wake_)
        if (fd >= 0) close(fd);
}

void KeyRelayServer::Drop(int fd) {
    for (const auto& [sym, count] : clients_[fd].held)
        for (int i = 0; i < count; ++i) key_(sym, false);
    clients_.erase(fd);
    close(fd);
}

void KeyRelayServer::Accept() {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (static_cast<int>(clients_.size()) >= kMaxClients || !TrustedPeer(fd)) close(fd);
    else clients_[fd];
}

void KeyRelayServer::ServeClient(int fd) {
    unsigned char buffer[256];
    const ssize_t length = read(fd, buffer, sizeof buffer);
    if (length == 0 || (length < 0 && errno != EAGAIN && errno != EINTR)) {
        Drop(fd);
        return;
    }
    Client& client = clients_[fd];
    if (length > 0) client.pending.insert(client.pending.end(), buffer, buffer + length);
    size_t used = 0;
    for (; client.pending.size() - used >= kRequestSize; used += kRequestSize) {
        const unsigned char* request = client.pending.data() + used;
        uint32_t symbol = 0;
        std::memcpy(&symbol, request, sizeof symbol);
        const bool down = request[4] != 0;
        const bool typed = key_(symbol, down);
        if (typed && down) ++client.held[symbol];
        if (!down) {
            auto it = client.held.find(symbol);
            if (it != client.held.end() && --it->second <= 0) client.held.erase(it);
        }
        client.unsent.push_back(typed ? 1 : 0);
    }
    client.pending.erase(client.pending.begin(), client.pending.begin() + used);
    if (!Flush(fd, client)) Drop(fd);
}

bool KeyRelayServer::Flush(int fd, Client& client) {
    while (!client.unsent.empty()) {
        const ssize_t sent = send(fd, client.unsent.data(), client.unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            break;
        }
        client.unsent.erase(client.unsent.begin(), client.unsent.begin() + sent);
    }
    // A client that sends without reading its answers would hold the
    // daemon's memory without end.
    return client.unsent.size() <= kMaxUnsentAnswers;
}

void KeyRelayServer::AddDescriptors(std::vector<pollfd>* fds) const {
    if (listener_ < 0 || thread_.joinable()) return;
    fds->push_back({listener_, POLLIN, 0});
    for (const auto& [fd, client] : clients_)
        fds->push_back({fd, static_cast<short>(client.unsent.empty() ? POLLIN : POLLIN | POLLOUT), 0});
}

void KeyRelayServer::ServeReady(const std::vector<pollfd>& fds) {
    if (listener_ < 0 || thread_.joinable()) return;
    for (const pollfd& ready : fds) {
        if (ready.revents == 0) continue;
        if (ready.fd == listener_) {
            if (ready.revents & POLLIN) Accept();
        } else if (clients_.count(ready.fd) != 0) {
            ServeClient(ready.fd);
        }
    }
}

void KeyRelayServer::Serve() {
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (const auto& [fd, client] : clients_)
            fds.push_back({fd, static_cast<short>(client.unsent.empty() ? POLLIN : POLLIN | POLLOUT), 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        if (fds[1].revents & POLLIN) Accept();
        for (size_t i = 2; i < fds.size(); ++i)
            if (fds[i].revents != 0) ServeClient(fds[i].fd);
    }
}

// ---- The client's end ----

KeyRelayClient::~KeyRelayClient() { Close(); }

void KeyRelayClient::Close() {
    std::lock_guard<std::mutex> hold(lock_);
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
}

bool KeyRelayClient::Connect() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    // Connecting and sending on a Unix socket wait at most this long: a
    // daemon whose queue of connections is full does not hold the client.
    const timeval timeout{kStepTimeoutMs / 1000, (kStepTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_un address;
    const socklen_t size = Address(&address);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || !TrustedPeer(fd)) {
        close(fd);
        return false;
    }
    socket_ = fd;
    return true;
}

bool KeyRelayClient::Send(unsigned long keysym, bool down, bool* typed) {
    std::lock_guard<std::mutex> hold(lock_);
    // One attempt on the open connection, one on a fresh one (the daemon
    // may have been restarted since).
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (socket_ < 0 && !Connect()) return false;
        unsigned char request[kRequestSize];
        Encode(keysym, down, request);
        if (send(socket_, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) {
            close(socket_);
            socket_ = -1;
            continue;
        }
        // Sent: not sent again, whatever comes back.
        unsigned char answer = 0;
        pollfd ready{socket_, POLLIN, 0};
        if (poll(&ready, 1, kStepTimeoutMs) == 1 && read(socket_, &answer, 1) == 1) {
            if (typed) *typed = answer == 1;
            return true;
        }
        close(socket_);
        socket_ = -1;
        return false;
    }
    return false;
}

}  // namespace tavro
