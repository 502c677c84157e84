// The receiver's tty on a real pseudo-terminal: open failures, the raw and
// exclusive configuration, and writes that fail or have to wait.
#include "DeviceHarness.h"
#include "TtyHolders.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>

#include <thread>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

// Runs `body` in a child process without CAP_SYS_ADMIN, to which exclusive
// use applies as to any unprivileged user; true when it exits 0.
template <typename Body>
bool InUnprivilegedChild(Body body) {
    pid_t child = fork();
    if (child == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        syscall(SYS_capget, &header, caps);
        caps[CAP_SYS_ADMIN / 32].effective &= ~(1u << (CAP_SYS_ADMIN % 32));
        syscall(SYS_capset, &header, caps);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class SerialLink : public testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        ASSERT_TRUE(device.initialized);
    }
    void Open() {
        ASSERT_EQ(kit.OpenDevice(), 0);
        ASSERT_EQ(kit.InitializeDevice(), 0);
        device.record().LastError = 0;
    }
    LogCapture log;
    PtyPair pty;
    KitOn<> device{pty.slavePath()};
    CTavroLinux& kit = device.kit;
};

TEST_F(SerialLink, MissingDeviceFailsWithCode3AndStillMarksTheRecord) {
    SharedDeviceState& r = device.record();
    SetDeviceName(r, "/nonexistent/ttyUSB9");
    r.HIDMouseAtStart = 1;
    r.ActivateCursor = 0;
    EXPECT_EQ(kit.StartDevice(), 3);
    EXPECT_EQ(kit.DeviceFd(), 0) << "a failed open leaves the tty not open";
    EXPECT_FALSE(kit.ReaderRunning());
    EXPECT_EQ(r.LastError, 3);
    EXPECT_EQ(r.StopRequest, 1);
    EXPECT_EQ(r.DeviceOpened, 1);
    EXPECT_EQ(r.ActivateCursor, 1);
    EXPECT_EQ(r.HIDMouseAtStart, 0);
    EXPECT_EQ(LogCapture::Count("Error opening the device"), 1);
    EXPECT_EQ(LogCapture::Count("Error in OpenDevice : SI_Open"), 1);
}

TEST_F(SerialLink, PseudoTerminalIsConfiguredRawExclusiveAndBlocking) {
    device.record().BaudRate = 9600;
    Open();
    EXPECT_EQ(LogCapture::Count("Error"), 0) << "nothing is logged for the missing modem lines";
    termios t{};
    ASSERT_EQ(tcgetattr(kit.DeviceFd(), &t), 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(fcntl(kit.DeviceFd(), F_GETFL) & O_NONBLOCK, 0);

    // An unknown speed keeps the last one; the rest still applies.
    device.record().BaudRate = 12345;
    EXPECT_EQ(kit.InitializeDevice(), 0);
    ASSERT_EQ(tcgetattr(kit.DeviceFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

    // Exclusive: a process without CAP_SYS_ADMIN cannot open the tty now.
    EXPECT_TRUE(InUnprivilegedChild([&] {
        return open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY) < 0 && errno == EBUSY;
    })) << "a second open was not refused with EBUSY";
}

TEST_F(SerialLink, ClosingTheTtyGivesUpExclusiveUse) {
    Open();
    kit.CloseDevice();
    EXPECT_EQ(kit.DeviceFd(), 0);
    EXPECT_TRUE(InUnprivilegedChild([&] {
        int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        return fd >= 0;
    })) << "the exclusive flag outlived the kit's close";
}

TEST_F(SerialLink, BusyTtyIsExplainedByItsHolder) {
    Open();
    const std::string holder = "held by process " + std::to_string(getpid()) + " (";
    EXPECT_TRUE(InUnprivilegedChild([&] {
        return kit.SI_Open() == 3 &&
               LogCapture::Count("cannot open the receiver " + pty.slavePath() + ": " + holder) == 1;
    })) << "no line named the process that holds the tty";
}

TEST(BusyTty, ExclusiveFlagLeftByAnEndedProgramIsNamedWithItsFix) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    const std::string path = ptsname(master);
    int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(ioctl(slave, TIOCEXCL), 0);
    close(slave);
    EXPECT_NE(tavro::BusyTtyReason(path).find("no process holds it, so its exclusive flag was left set"),
              std::string::npos);
    close(master);
}

TEST_F(SerialLink, ConfigurationFailureClosesAndForgetsTheDescriptor) {
    int notATty = open("/dev/null", O_RDWR);
    kit.AdoptDevice(notATty);
    EXPECT_EQ(kit.InitializeDevice(), 6);
    EXPECT_EQ(kit.DeviceFd(), 0);
    EXPECT_EQ(fcntl(notATty, F_GETFD), -1) << "the descriptor was not closed";
    EXPECT_EQ(LogCapture::Count("Error setting TIOCEXCL on " + pty.slavePath() +
                                " - Inappropriate ioctl for device(25)."),
              1);
    Open();  // a later start opens the tty anew
}

TEST_F(SerialLink, WriteToNoTtyOrAHungUpOneIsRecordedAsFailed) {
    unsigned char command[] = {0x0C, 0x00};
    EXPECT_EQ(kit.SendCommand(command, sizeof command), 0);
    EXPECT_EQ(device.record().LastError, 4) << "not open";

    Open();
    EXPECT_EQ(kit.SendCommand(command, 0), 0);
    EXPECT_EQ(device.record().LastError, 0) << "an empty command is no failure";
    pty.closeMaster();
    EXPECT_EQ(kit.SendCommand(command, sizeof command), 0);
    EXPECT_EQ(device.record().LastError, 4);
    EXPECT_EQ(LogCapture::Count("Error reading from device - Input/output error(5)."), 1);
}

// Fills the line towards the receiver; returns the bytes queued.
size_t FillLine(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return 0;
    unsigned char chunk[256] = {};
    size_t queued = 0;
    // The line makes room in steps: full is when none came for 300 ms.
    for (;;) {
        ssize_t n = write(fd, chunk, sizeof chunk);
        if (n > 0) {
            queued += static_cast<size_t>(n);
            continue;
        }
        pollfd room{fd, POLLOUT, 0};
        if (poll(&room, 1, 300) <= 0) break;
    }
    close(fd);
    return queued;
}

TEST_F(SerialLink, LongCommandIsFinishedWhenTheReceiverCatchesUp) {
    Open();
    size_t queued = FillLine(pty.slavePath());
    ASSERT_GT(queued, 0u);
    Bytes received;
    std::thread receiver([&] {
        std::this_thread::sleep_for(300ms);  // the write has to wait for room meanwhile
        received = pty.read(queued + 512, 5000ms);
    });
    unsigned char command[512];
    for (int i = 0; i < 512; ++i) command[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(kit.SendCommand(command, sizeof command), 0);
    receiver.join();
    ASSERT_EQ(received.size(), queued + 512);
    EXPECT_EQ(Bytes(received.end() - 512, received.end()), Bytes(command, command + 512));
    EXPECT_EQ(device.record().LastError, 0);
}

}  // namespace
