// Other programs' keys through the daemon's relay, served from the owner's
// own poll loop as the daemon does: real sockets in the abstract namespace
// of this test's IPC namespace, requests answered in order, what a client
// still held released when it goes, and no thread of the relay's own.
#include "KeyRelay.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <fstream>
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

}  // namespace
