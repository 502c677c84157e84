// Keys of other processes through the device daemon's virtual keyboard.
//
// A virtual keyboard that a process creates and types on at once loses its
// first keys: the desktop has not opened it yet.  So the daemon, whose
// keyboard lives as long as it runs and has long been opened, serves the
// keys of client processes (TV_SendKeyEvent) on a Unix stream socket in the
// abstract namespace, named after the user and the IPC namespace, so that
// exactly the processes that share the daemon's record reach it.  Both ends
// check the other's user through SO_PEERCRED: only the same user (or root)
// may type on a user's desktop.
//
// Each request is 8 bytes (the key symbol, 32 bits in host order; 1 for a
// press or 0 for a release; three zero bytes); the daemon answers each with
// one byte, 1 when the key was sent and 0 when the keymap cannot type it.
// Keys a client still holds when its connection ends are released.
//
// The daemon never waits on a client: its sockets do not block, answers a
// client has not read yet wait in a small buffer of its own, and a client
// that lets that buffer fill is dropped.  The client waits at most a second
// for each step (connect, send, answer) before it takes the daemon as gone.
#ifndef TAVRO_KEY_RELAY_H
#define TAVRO_KEY_RELAY_H

#include <poll.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavro {

// The socket's name in the abstract namespace (without the leading NUL).
std::string KeyRelayName();

class KeyRelayServer {
public:
    using KeyFunction = std::function<bool(unsigned long keysym, bool down)>;
    // Listens, and serves on one thread of its own unless the process serves
    // relays from its own loop (ServeFromOwnersLoop).  False from started()
    // (and *error set) when the name is taken or no socket can be made.
    KeyRelayServer(KeyFunction key, std::string* error);
    ~KeyRelayServer();  // stops the thread, releases what clients hold
    KeyRelayServer(const KeyRelayServer&) = delete;
    KeyRelayServer& operator=(const KeyRelayServer&) = delete;
    bool started() const { return listener_ >= 0; }
    // Tries to take the name again when it was taken at start; true when the
    // relay listens now and did not before.
    bool ListenAgain();

    // From now on, relays made in this process start no thread: the
    // process's own poll loop serves them through AddDescriptors and
    // ServeReady (the device daemon does, to keep its thread count).
    static void ServeFromOwnersLoop();
    // Appends the descriptors to poll: the listening socket and every client
    // (for writing too while answers wait for it).  Nothing while a thread of its own serves.
    void AddDescriptors(std::vector<pollfd>* fds) const;
    // Serves the descriptors of `fds` (as poll returned them) that are its
    // own: new clients, requests, clients gone.
    void ServeReady(const std::vector<pollfd>& fds);

private:
    struct Client {
        std::vector<unsigned char> pending;
        std::vector<unsigned char> unsent;  // answers the client has not read yet
        std::map<unsigned long, int> held;  // key symbols pressed and not released
    };
    bool Listen(std::string* error);
    void Serve();
    void Accept();
    void ServeClient(int fd);
    bool Flush(int fd, Client& client);  // false when the client must go
    void Drop(int fd);
    KeyFunction key_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::map<int, Client> clients_;  // used by one thread: the relay's or the loop's
    std::thread thread_;
};

// The client's end: one connection, made on first use and made again after
// the daemon went away.
class KeyRelayClient {
public:
    ~KeyRelayClient();
    // Sends one key event through the daemon.  False when no daemon serves
    // (the caller then uses another route); *typed tells whether the
    // daemon's keymap could type the symbol.
    bool Send(unsigned long keysym, bool down, bool* typed);
    // Ends the connection; the daemon releases what it still holds.
    void Close();

private:
    bool Connect();
    std::mutex lock_;
    int socket_ = -1;
};

}  // namespace tavro

#endif  // TAVRO_KEY_RELAY_H
