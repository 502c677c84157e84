// The receiver simulator seen from the kit's side of its pseudo-terminal:
// the geometry of its tracking packets, and replies after the kit's side
// closed and reopened the tty.
#include "Process.h"
#include "TestEnvironment.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <memory>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// The slave side, opened as the kit would, with the packets read from it.
class KitSide {
public:
    explicit KitSide(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~KitSide() { close(fd_); }
    void send(const Bytes& bytes) { EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    // The payload of the first packet of the type that arrives in time.
    bool receive(uint8_t type, Bytes* payload, std::chrono::milliseconds timeout = 1000ms) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            uint8_t found = 0;
            while (next(&found, payload))
                if (found == type) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pollfd p{fd_, POLLIN, 0};
            uint8_t buffer[1024];
            ssize_t n = poll(&p, 1, 50) > 0 ? read(fd_, buffer, sizeof buffer) : 0;
            if (n > 0) pending_.insert(pending_.end(), buffer, buffer + n);
        }
    }

private:
    // Takes the first whole packet off what was read.
    bool next(uint8_t* type, Bytes* payload) {
        while (pending_.size() >= 2 && (pending_[0] != 0x51 || pending_[1] != 0x56)) pending_.erase(pending_.begin());
        if (pending_.size() < 4) return false;
        size_t end = 4 + (pending_[2] == 9 ? 2u * pending_[3] : pending_[3]);
        if (pending_.size() < end) return false;
        *type = pending_[2];
        payload->assign(pending_.begin() + 4, pending_.begin() + static_cast<long>(end));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(end));
        return true;
    }
    int fd_;
    Bytes pending_;
};

int Word(const Bytes& p, int k) { return (p[2 * k] << 8) | p[2 * k + 1]; }

class Simulator : public testing::Test {
protected:
    void Start(const std::vector<std::string>& args) {
        process = std::make_unique<ChildProcess>(TAVRO_SIM_PATH, args);
        ASSERT_TRUE(process->readLine(&slave));
    }
    std::unique_ptr<ChildProcess> process;
    std::string slave;
};

TEST_F(Simulator, ScriptSetsAimRollDistanceAndKeys) {
    const std::string script = std::string(getenv("HOME")) + "/motion.script";
    WriteFile(script, "rate 50\nat 0 2 x=100 y=50 roll=20 distance=2 keys=center,menu\n");
    Start({"--script", script, "--loop"});
    KitSide kit(slave);
    Bytes p;
    ASSERT_TRUE(kit.receive(1, &p));
    EXPECT_EQ(Word(p, 0), 0x8000 | (2 << 13) | (0x1FFF & ~((1 << 4) | (1 << 9)))) << "handset 2, centre and menu held";
    double px = Word(p, 1), py = Word(p, 2), qx = Word(p, 4), qy = Word(p, 5);
    EXPECT_NEAR((px + qx) / 200, 100.0, 0.01);
    EXPECT_NEAR((py + qy) / 200, 50.0, 0.01);
    EXPECT_NEAR(-std::atan((qy - py) / (qx - px)), 20.0 * 3.14159265358979 / 180.0, 1e-3);
    EXPECT_NEAR(70.0 / (std::hypot(qx - px, qy - py) / 100), 2.0, 1e-3);
}

TEST_F(Simulator, KeepsAnsweringAfterTheKitReopensTheTty) {
    Start({"--rate", "50"});
    Bytes p;
    { ASSERT_TRUE(KitSide(slave).receive(1, &p)); }
    KitSide kit(slave);
    EXPECT_TRUE(kit.receive(1, &p)) << "no tracking after the reopen";
    // An odd code (three bytes for one word) followed at once by another
    // command: the extra byte is told apart however the pty splits the bytes.
    kit.send({0x09, 0x01, 0xAB, 0xCD, 0xEF});
    kit.send({0x09, 0x00});
    ASSERT_TRUE(kit.receive(9, &p)) << "no reply after the reopen";
    EXPECT_EQ(p, (Bytes{0xAB, 0xCD, 0xEF, 0x00})) << "the last code, padded to whole words";
    kit.send({0x77, 0x00});
    ASSERT_TRUE(kit.receive(11, &p));
    EXPECT_EQ(p, Bytes{1}) << "unknown commands get an error packet";
}

}  // namespace
