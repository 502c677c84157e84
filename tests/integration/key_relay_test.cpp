// Other programs' keys through the daemon's relay, served from the owner's
// own poll loop as the daemon does: real sockets in the abstract namespace
// of this test's IPC namespace, requests answered in order, what a client
// still held released when it goes, and no thread of the relay's own.
#include "KeyRelay.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;
using Event = std::pair<unsigned long, bool>;

constexpr unsigned long kA = 0x61, kB = 0x62, kUntypable = 0x100263a;

TEST(KeyRelay, ServedFromTheOwnersLoopAnswersInOrderAndReleasesWhatAGoneClientHeld) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    tavro::KeyRelayServer::ServeFromOwnersLoop();
    std::mutex mutex;
    std::vector<Event> typed;
    const int threadsBefore = ThreadCount();
    std::string error;
    tavro::KeyRelayServer server(
        [&](unsigned long keysym, bool down) {
            std::lock_guard<std::mutex> lock(mutex);
            typed.emplace_back(keysym, down);
            return keysym != kUntypable;
        },
        &error);
    ASSERT_TRUE(server.started()) << error;
    EXPECT_EQ(ThreadCount(), threadsBefore) << "the relay started a thread of its own";

    std::atomic<bool> serving{true};
    std::thread loop([&] {
        while (serving) {
            std::vector<pollfd> fds;
            server.AddDescriptors(&fds);
            if (poll(fds.data(), fds.size(), 20) > 0) server.ServeReady(fds);
        }
    });
    {
        tavro::KeyRelayClient client;
        bool was = false;
        ASSERT_TRUE(client.Send(kA, true, &was));
        EXPECT_TRUE(was);
        ASSERT_TRUE(client.Send(kUntypable, true, &was));
        EXPECT_FALSE(was) << "the keymap's answer is passed back";
        ASSERT_TRUE(client.Send(kB, true, &was));
        ASSERT_TRUE(client.Send(kB, false, &was));
        ASSERT_TRUE(client.Send(kB, true, &was));
        client.Close();  // a and b still held
    }
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return typed.size() >= 7;
    }, 2000ms));
    serving = false;
    loop.join();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(typed, (std::vector<Event>{{kA, true}, {kUntypable, true}, {kB, true}, {kB, false}, {kB, true},
                                         {kA, false}, {kB, false}}));
}

// The relay served from a loop of the test's own, as the daemon does.
class OwnersLoop {
public:
    OwnersLoop() {
        tavro::KeyRelayServer::ServeFromOwnersLoop();
        server_ = std::make_unique<tavro::KeyRelayServer>([](unsigned long, bool) { return true; }, &error);
        loop_ = std::thread([this] {
            while (serving_) {
                std::vector<pollfd> fds;
                server_->AddDescriptors(&fds);
                if (poll(fds.data(), fds.size(), 20) > 0) server_->ServeReady(fds);
                else server_->ListenAgain();
            }
        });
    }
    ~OwnersLoop() {
        serving_ = false;
        loop_.join();
    }
    std::string error;

private:
    std::unique_ptr<tavro::KeyRelayServer> server_;
    std::atomic<bool> serving_{true};
    std::thread loop_;
};

// A socket connected to (or, with bindIt, holding) the relay's name.
int RelaySocket(bool bindIt) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = tavro::KeyRelayName();
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const int done = bindIt ? bind(fd, reinterpret_cast<sockaddr*>(&address), size)
                            : connect(fd, reinterpret_cast<sockaddr*>(&address), size);
    if (done != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(KeyRelay, AClientThatNeverReadsItsAnswersDoesNotStallTheLoop) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    OwnersLoop loop;
    const int rogue = RelaySocket(false);
    ASSERT_GE(rogue, 0);
    std::vector<unsigned char> requests(8 * 1000, 0);
    for (size_t at = 0; at < requests.size(); at += 8) requests[at] = 0x61, requests[at + 4] = 1;
    ASSERT_EQ(send(rogue, requests.data(), requests.size(), MSG_DONTWAIT), static_cast<ssize_t>(requests.size()));
    std::this_thread::sleep_for(200ms);  // lets the loop take the requests first
    tavro::KeyRelayClient client;
    bool typed = false;
    EXPECT_TRUE(client.Send(kA, true, &typed)) << "the loop no longer serves other clients";
    close(rogue);
}

TEST(KeyRelay, TakesItsNameOnceAnotherProcessLetsItGo) {
    TAVRO_REQUIRE_PRIVATE_IPC();
    const int holder = RelaySocket(true);
    ASSERT_GE(holder, 0);
    OwnersLoop loop;
    ASSERT_NE(loop.error.find("Address already in use"), std::string::npos) << loop.error;
    close(holder);
    tavro::KeyRelayClient client;
    bool typed = false;
    EXPECT_TRUE(WaitFor([&] { return client.Send(kA, true, &typed); }, 3000ms));
}

}  // namespace
