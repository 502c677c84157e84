// The command-line client against the simulated receiver through the device
// daemon: status values, settings changed and persisted, information
// replies, commands as bytes on the wire, infrared codes learned and sent
// back, the raw view, and clear failures for bad input or no daemon.
#include "Process.h"
#include "SharedDeviceState.h"
#include "TestEnvironment.h"
#include "XServer.h"
#include "RecordAccess.h"

#include "DaemonStatus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include <cctype>
#include <memory>
#include <sstream>

namespace {

using namespace tavro::test;
using namespace std::chrono_literals;

#if defined(TAVRO_PATH) && defined(TAVRO_SIM_PATH) && defined(TAVROD_PATH)

struct Result {
    int status;
    std::string output;
};

Result Tavro(const std::vector<std::string>& args) {
    Result result;
    result.status = RunProgram(TAVRO_PATH, args, &result.output);
    return result;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// The simulated receiver and the daemon that owns it.  The simulator logs
// each command it receives as "rx <hex bytes>  <name>".
class Device {
public:
    explicit Device(std::vector<std::string> simulatorArgs, const std::string& link = "") {
        log_ = std::string(getenv("HOME")) + "/commands.log";
        if (!link.empty()) simulatorArgs.insert(simulatorArgs.end(), {"--link", link});
        simulatorArgs.insert(simulatorArgs.end(), {"--command-log", log_});
        simulator_ = std::make_unique<ChildProcess>(TAVRO_SIM_PATH, simulatorArgs);
        std::string slave;
        if (!simulator_->readLine(&slave) || slave.rfind("/dev/", 0) != 0) return;
        daemon_ = std::make_unique<ChildProcess>(TAVROD_PATH,
                                                 std::vector<std::string>{"--device", link.empty() ? slave : link});
        running_ = daemon_->waitForOutput("running the receiver");
    }
    // The receiver unplugged: the simulator ends (and removes its link).
    void unplug() {
        simulator_->signal(SIGTERM);
        simulator_->wait();
    }
    // Another receiver on the same link, logging to its own file.
    bool replug(const std::string& link, const std::string& log) {
        log_ = log;
        simulator_ = std::make_unique<ChildProcess>(
            TAVRO_SIM_PATH, std::vector<std::string>{"--pattern", "still", "--command-log", log, "--link", link});
        std::string slave;
        return simulator_->readLine(&slave) && daemon_->waitForOutput("is back", std::chrono::milliseconds(8000));
    }
    int daemonPid() const { return daemon_->pid(); }
    void killDaemon() {
        daemon_->signal(SIGKILL);
        daemon_->wait();
    }
    bool running() const { return running_; }
    std::string commands() const { return ReadFile(log_); }
    // The daemon's exit status, or -1 while it runs on.
    int daemonExit(std::chrono::milliseconds timeout) { return daemon_->wait(timeout); }
    bool received(const std::string& hex) const {
        return WaitFor([&] { return commands().find("rx " + hex + "  ") != std::string::npos; });
    }

private:
    std::string log_;
    std::unique_ptr<ChildProcess> simulator_;
    std::unique_ptr<ChildProcess> daemon_;
    bool running_ = false;
};

class Client : public ::testing::Test {
protected:
    void SetUp() override {
        TAVRO_REQUIRE_PRIVATE_IPC();
        RemoveSegment(TAVRO_SHARED_MEMORY_KEY);
    }
    void TearDown() override { RemoveSegment(TAVRO_SHARED_MEMORY_KEY); }

    std::string Script(const std::string& text) {
        std::string path = home_.path() + "/motion.script";
        WriteFile(path, text);
        return path;
    }

    TempHome home_;
};

// The row of a handset in the status table: '*' marks the active one.
std::vector<std::string> StatusRow(const std::string& output, int handset) {
    for (const std::string& line : Lines(output)) {
        std::vector<std::string> words = Words(line);
        if (words.empty()) continue;
        std::string first = words[0];
        if (!first.empty() && first[0] == '*') first.erase(0, 1);
        if (first == std::to_string(handset) && words.size() >= 10) return words;
    }
    return {};
}

TEST_F(Client, StatusShowsEachHandsetsAimRollDistancePowersAndKeys) {
    Device device({"--script", Script("at 0 0 x=200 y=100 keys=north\n"
                                      "at 0 1 x=150 y=180 distance=4 keys=none\n"
                                      "end 600\n")});
    ASSERT_TRUE(device.running());

    Result status = Tavro({"status"});
    ASSERT_EQ(status.status, 0) << status.output;
    EXPECT_NE(status.output.find("active handset: 0"), std::string::npos) << status.output;
    std::vector<std::string> first = StatusRow(status.output, 0);
    ASSERT_FALSE(first.empty()) << status.output;
    EXPECT_EQ(first[0], "*0");
    EXPECT_NEAR(std::stod(first[3]), 200.0, 0.02);  // raw x, camera pixels
    EXPECT_NEAR(std::stod(first[4]), 100.0, 0.02);
    EXPECT_NEAR(std::stod(first[5]), 0.0, 0.001);   // roll
    EXPECT_NEAR(std::stod(first[6]), 3.0, 0.01);    // distance
    EXPECT_EQ(first[7], "1000");                    // powers
    EXPECT_EQ(first[8], "1000");
    EXPECT_EQ(first[9], "up");
    // Pointer position: the default calibration 5 * raw + (-250, -340).
    EXPECT_NEAR(std::stod(first[1]), 750.0, 1.0);
    EXPECT_NEAR(std::stod(first[2]), 160.0, 1.0);

    std::vector<std::string> second = StatusRow(status.output, 1);
    ASSERT_FALSE(second.empty()) << status.output;
    EXPECT_EQ(second[0], "1");
    EXPECT_NEAR(std::stod(second[3]), 150.0, 0.02);
    EXPECT_NEAR(std::stod(second[4]), 180.0, 0.02);
    EXPECT_NEAR(std::stod(second[6]), 4.0, 0.01);
    EXPECT_EQ(second[9], "-");
    EXPECT_NE(status.output.find(" 2  no data"), std::string::npos) << status.output;

    Result one = Tavro({"status", "--user", "1"});
    ASSERT_EQ(one.status, 0) << one.output;
    EXPECT_FALSE(StatusRow(one.output, 1).empty());
    EXPECT_TRUE(StatusRow(one.output, 0).empty()) << one.output;
}

// Attaching resets the kit's live state; the client must put back which
// handset drives the pointer instead of handing it to handset 0.
TEST_F(Client, StatusKeepsTheHandsetThatDrivesThePointer) {
    Device device({"--script", Script("at 0 0 x=176 y=144\n"
                                      "at 0 1 x=176 y=144 keys=none\n"
                                      "at 0.5 1 x=176 y=144 keys=center\n"
                                      "at 0.8 1 x=176 y=144 keys=none\n"
                                      "end 600\n")});
    ASSERT_TRUE(device.running());
    int id = shmget(TAVRO_SHARED_MEMORY_KEY, 0, 0);
    ASSERT_GE(id, 0);
    auto* record = static_cast<const SharedDeviceState*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(record, reinterpret_cast<const SharedDeviceState*>(-1));
    ASSERT_TRUE(WaitFor([&] { return *static_cast<const volatile int32_t*>(&record->CurrentUser) == 1; },
                        5000ms));

    for (int run = 0; run < 2; ++run) {
        Result status = Tavro({"status"});
        ASSERT_EQ(status.status, 0) << status.output;
        EXPECT_NE(status.output.find("active handset: 1"), std::string::npos) << status.output;
        ASSERT_FALSE(StatusRow(status.output, 1).empty());
        EXPECT_EQ(StatusRow(status.output, 1)[0], "*1");
    }
    EXPECT_EQ(*static_cast<const volatile int32_t*>(&record->CurrentUser), 1);
    shmdt(record);
}

TEST_F(Client, WatchRefreshesUntilInterrupted) {
    Device device({"--pattern", "circle"});
    ASSERT_TRUE(device.running());
    ChildProcess watch(TAVRO_PATH, {"status", "--watch", "--interval", "50"});
    auto frames = [&] {
        std::string text = watch.output();
        size_t count = 0;
        for (size_t at = text.find("active handset"); at != std::string::npos;
             at = text.find("active handset", at + 1))
            ++count;
        return count;
    };
    ASSERT_TRUE(WaitFor([&] { return frames() >= 3; }, 5000ms)) << watch.output();
    // The aim moves in a circle, so successive frames differ.
    std::vector<std::string> rows;
    for (const std::string& line : Lines(watch.output()))
        if (line.rfind("*0", 0) == 0) rows.push_back(line);
    ASSERT_GE(rows.size(), 2u);
    EXPECT_NE(rows.front(), rows.back());
    watch.signal(SIGINT);
    EXPECT_EQ(watch.wait(), 0);
}

TEST_F(Client, SetChangesTheRunningKitAndPersistsInTheSettingsFile) {
    // Keys with a setter, one without (written through the record), one whose
    // setter does not save (CalDistance), and the pair set by one setter.
    struct Change {
        const char* key;
        const char* value;
        const char* saved;
    } changes[] = {
        {"StabThresh", "9.5", "<StabThresh>9.500000</StabThresh>"},
        {"powerthresh", "4", "<PowerThresh>4</PowerThresh>"},
        {"CalDistance", "2.5", "<CalDistance>2.500000</CalDistance>"},
        {"XcalScreen", "1920", "<XcalScreen>1920</XcalScreen>"},
        {"DeviceName", "/dev/ttyUSB4", "<DeviceName>/dev/ttyUSB4</DeviceName>"},
        {"RotationCompensation", "0", "<RotationCompensation>0</RotationCompensation>"},
    };
    for (const Change& change : changes) {
        Result set = Tavro({"set", change.key, change.value});
        ASSERT_EQ(set.status, 0) << change.key << ": " << set.output;
        EXPECT_NE(ReadFile(home_.settingsFile()).find(change.saved), std::string::npos)
            << change.key << "\n" << ReadFile(home_.settingsFile());
    }
    // A new client reads them back from the file.
    EXPECT_EQ(Tavro({"get", "StabThresh"}).output, "9.500000\n");
    EXPECT_EQ(Tavro({"get", "PowerThresh"}).output, "4\n");
    EXPECT_EQ(Tavro({"get", "CalDistance"}).output, "2.500000\n");
    EXPECT_EQ(Tavro({"get", "YcalScreen"}).output, "768\n");  // kept by the XcalScreen change
    EXPECT_EQ(Tavro({"get", "devicename"}).output, "/dev/ttyUSB4\n");

    Result list = Tavro({"settings"});
    ASSERT_EQ(list.status, 0);
    EXPECT_EQ(Lines(list.output).size(), 27u) << list.output;  // the file's path, 26 keys
    EXPECT_NE(list.output.find("StabThresh             9.500000"), std::string::npos) << list.output;
}

TEST_F(Client, WrongInputFailsWithOneClearLineAndChangesNothing) {
    ASSERT_EQ(Tavro({"set", "Mx", "4"}).status, 0);
    const std::string before = ReadFile(home_.settingsFile());
    std::string badCode = home_.path() + "/odd.ir";
    WriteFile(badCode, "# three bytes\n00 01 02\n");
    std::string notHex = home_.path() + "/bad.ir";
    WriteFile(notHex, "00 01\n0g 02\n");

    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"set", "Mx", "abc"}, "Mx takes a number"},
        {{"set", "Mx", "0"}, "Mx takes a number other than 0, not \"0\""},
        // Blanks around a number are refused alike, before and after it.
        {{"set", "StabThresh", " 5"}, "StabThresh takes a number >= 0"},
        {{"set", "StabThresh", "5 "}, "StabThresh takes a number >= 0"},
        {{"camera", "--gain", " 3"}, "--gain takes a whole number from 0 to 63, not \" 3\""},
        {{"pointing", "fast"}, "the pointing mode is direct, smart or game, not \"fast\""},
        {{"pointer", "maybe"}, "the pointer is turned on or off, not \"maybe\""},
        {{"pointer", "--user", "4"}, "--user takes a whole number from 0 to 3"},
        {{"set", "Mx"}, "usage: tavro set KEY VALUE"},
        {{"set", "Frobnicate", "1"}, "unknown setting \"Frobnicate\""},
        {{"get", "Frobnicate"}, "unknown setting"},
        {{"set", "XYCounterMax", "61"}, "1 to 60"},
        {{"set", "RotationCompensation", "2"}, "0 or 1"},
        {{"set", "BaudRate", "1234"}, "serial speed"},
        {{"set", "DeviceName", "ttyUSB0"}, "absolute path"},
        {{"set", "TavroMenuPath", ""}, "1 to 255 characters"},
        {{"status", "--user", "4"}, "--user takes a whole number from 0 to 3"},
        {{"status", "--colour"}, "unknown option --colour"},
        {{"camera", "--gain", "64"}, "--gain takes a whole number from 0 to 63"},
        {{"camera"}, "needs --threshold, --gain or --exposure"},
        {{"channel", "300"}, "0 to 255"},
        {{"motor", "start", "--mode", "30", "--level", "100"}, "--mode takes 25, 50, 75 or 100"},
        {{"motor", "spin"}, "usage: tavro motor"},
        {{"ir", "learn"}, "needs --out FILE"},
        {{"ir", "learn", "--name", ".tv-power"}, "does not start with '.'"},  // a hidden file, never listed
        {{"ir", "send", badCode}, "a code is a whole number of 16-bit words"},
        {{"ir", "send", notHex}, "line 2: 'g' is not a hex digit"},
        {{"fly"}, "unknown command \"fly\""},
    };
    for (const Case& c : cases) {
        Result result = Tavro(c.args);
        EXPECT_EQ(result.status, 2) << c.args[0] << ": " << result.output;
        EXPECT_EQ(Lines(result.output).size(), 1u) << result.output;
        EXPECT_EQ(result.output.rfind("tavro: ", 0), 0u) << result.output;
        EXPECT_NE(result.output.find(c.says), std::string::npos) << result.output;
    }
    EXPECT_EQ(ReadFile(home_.settingsFile()), before);
    EXPECT_EQ(Tavro({"get", "Mx"}).output, "4.000000\n");
}

TEST_F(Client, EveryCommandHasHelp) {
    for (const char* command : {"status", "get", "set", "settings", "info", "camera", "channel",
                                "motor", "stop", "ir", "raw"}) {
        Result help = Tavro({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.output.rfind(std::string("Usage: tavro ") + command, 0), 0u) << help.output;
    }
    Result overview = Tavro({"--help"});
    EXPECT_EQ(overview.status, 0);
    EXPECT_NE(overview.output.find("Commands:"), std::string::npos);
}

TEST_F(Client, InformationComesFromTheReceiver) {
    Device device({"--pattern", "still"});
    ASSERT_TRUE(device.running());
    Result info = Tavro({"info"});
    ASSERT_EQ(info.status, 0) << info.output;
    // The simulated receiver's replies, one request per kind.
    for (const char* expected : {"handset copyright:   Tavro handheld (c) QuorVel",
                                 "handset version:     handheld 2.1.0",
                                 "handset date:        2024-03-18",
                                 "receiver copyright:  Tavro POD (c) QuorVel",
                                 "receiver version:    POD 1.4.2",
                                 "receiver date:       2024-02-02",
                                 "handset assignment:  1 2 3 4 (01 02 03 04)",
                                 "signal strength:     200 180 160 140 (c8 b4 a0 8c)",
                                 "channel:             3 (03)"})
        EXPECT_NE(info.output.find(expected), std::string::npos) << expected << "\n" << info.output;
    for (int kind = 0; kind <= 8; ++kind)
        EXPECT_TRUE(device.received("10 01 0" + std::to_string(kind))) << device.commands();

    Result channel = Tavro({"channel"});
    ASSERT_EQ(channel.status, 0) << channel.output;
    EXPECT_EQ(channel.output, "channel: 3 (03)\n");
}

TEST_F(Client, CommandsReachTheReceiverAsTheirBytes) {
    Device device({"--pattern", "still"});
    ASSERT_TRUE(device.running());
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> wire;
    } cases[] = {
        {{"camera", "--threshold", "20", "--gain", "10", "--exposure", "100"},
         {"03 01 14", "04 01 0a", "05 01 64"}},
        {{"camera", "--exposure", "255"}, {"05 01 ff"}},
        {{"channel", "5"}, {"0d 01 05"}},
        {{"motor", "start", "--mode", "50", "--level", "100", "--value", "7"}, {"02 02 07 42"}},
        {{"motor", "stop"}, {"02 00"}},
        {{"ir", "blast"}, {"0c 00"}},
    };
    for (const Case& c : cases) {
        Result result = Tavro(c.args);
        EXPECT_EQ(result.status, 0) << c.args[0] << ": " << result.output;
        for (const std::string& bytes : c.wire)
            EXPECT_TRUE(device.received(bytes)) << bytes << "\n" << device.commands();
    }
    // Once the channel is switched, the receiver reports the new one.
    EXPECT_EQ(Tavro({"channel"}).output, "channel: 5 (05)\n");
}

// The bytes of a code file, read independently of the client.
std::vector<std::string> CodeBytes(const std::string& text) {
    std::vector<std::string> bytes;
    for (const std::string& line : Lines(text)) {
        std::string data = line.substr(0, line.find('#'));
        for (const std::string& word : Words(data)) bytes.push_back(word);
    }
    return bytes;
}

TEST_F(Client, LearnedCodeIsSavedAndSentBackAsTheSameBytes) {
    Device device({"--pattern", "still", "--learn-delay", "300"});
    ASSERT_TRUE(device.running());
    std::string file = home_.path() + "/remote-power.ir";
    Result learn = Tavro({"ir", "learn", "--out", file, "--timeout", "10"});
    ASSERT_EQ(learn.status, 0) << learn.output;
    EXPECT_NE(learn.output.find("waiting for an infrared code"), std::string::npos) << learn.output;
    EXPECT_TRUE(device.received("08 02 0a 00")) << device.commands();

    std::vector<std::string> code = CodeBytes(ReadFile(file));
    ASSERT_GE(code.size(), 4u) << ReadFile(file);
    ASSERT_EQ(code.size() % 2, 0u);
    EXPECT_NE(learn.output.find("learned a code of " + std::to_string(code.size()) + " bytes"),
              std::string::npos);

    Result send = Tavro({"ir", "send", file});
    ASSERT_EQ(send.status, 0) << send.output;
    char count[24];
    std::snprintf(count, sizeof count, "%02zx", code.size() / 2);
    std::string wire = std::string("09 ") + count;
    for (const std::string& byte : code) wire += " " + byte;
    EXPECT_TRUE(device.received(wire)) << wire << "\n" << device.commands();
}

TEST_F(Client, LearningGivesUpAfterItsTimeout) {
    Device device({"--pattern", "still", "--learn-delay", "20000"});
    ASSERT_TRUE(device.running());
    std::string file = home_.path() + "/never.ir";
    auto start = std::chrono::steady_clock::now();
    Result learn = Tavro({"ir", "learn", "--out", file, "--timeout", "1"});
    EXPECT_EQ(learn.status, 3) << learn.output;
    EXPECT_NE(learn.output.find("no infrared code received within 1 s"), std::string::npos)
        << learn.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(ReadFile(file), "");
}

TEST_F(Client, SaysSoWhenNoDaemonAnswers) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"status"}, "no tracking data from the receiver within 1.5 s: no device daemon is running"},
        {{"info"}, "no answer: the handset copyright request was not taken up within 2000 ms and was withdrawn: "
                   "no device daemon is running"},
        {{"ir", "blast"}, "no answer: the blast request was not taken up"},
        {{"camera", "--gain", "3"}, "no answer"},
        {{"raw", "--timeout", "1"}, "no packet from the receiver for 1 s: no device daemon is running"},
    };
    for (const Case& c : cases) {
        Result result = Tavro(c.args);
        EXPECT_EQ(result.status, 3) << c.args[0] << ": " << result.output;
        EXPECT_NE(result.output.find(c.says), std::string::npos) << result.output;
        EXPECT_NE(result.output.find("tavrod"), std::string::npos) << result.output;
    }
}

TEST_F(Client, RawViewDecodesTrackingAndReplies) {
    Device device({"--pattern", "still"});
    ASSERT_TRUE(device.running());
    ChildProcess raw(TAVRO_PATH, {"raw", "--count", "2", "--timeout", "10"});
    // A still handset repeats one payload; a reply in between makes both show.
    ASSERT_TRUE(WaitFor(
        [&] {
            if (raw.output().find(" info ") != std::string::npos) return true;
            Tavro({"channel"});
            return false;
        },
        8000ms))
        << raw.output();
    ASSERT_EQ(raw.wait(5000ms), 0) << raw.output();
    std::vector<std::string> lines = Lines(raw.output());
    ASSERT_EQ(lines.size(), 2u) << raw.output();
    // The channel reply and the handset's packet (in either order, as the
    // first reply may have come before the view looked).
    std::string info = lines[0].find(" info ") != std::string::npos ? lines[0] : lines[1];
    std::string tracking = info == lines[0] ? lines[1] : lines[0];
    EXPECT_NE(info.find("info      \".\"  | 03"), std::string::npos) << info;
    EXPECT_NE(tracking.find("tracking  handset=0 held=- A=("), std::string::npos) << tracking;
    EXPECT_NE(tracking.find(",1000) B=("), std::string::npos) << tracking;
}

TEST_F(Client, StopEndsTheDaemon) {
    Result nothing = Tavro({"stop"});
    EXPECT_EQ(nothing.status, 1) << nothing.output;
    EXPECT_EQ(nothing.output, "tavro: nothing to stop: no device daemon is running\n");

    Device device({"--pattern", "still"});
    ASSERT_TRUE(device.running());
    Result stop = Tavro({"stop"});
    EXPECT_EQ(stop.status, 0) << stop.output;
    EXPECT_NE(stop.output.find("the device daemon (process " + std::to_string(device.daemonPid()) + ") stopped"),
              std::string::npos)
        << stop.output;
    EXPECT_EQ(device.daemonExit(3000ms), 0);
    // With the daemon gone, requests are no longer taken up.
    EXPECT_EQ(Tavro({"ir", "blast"}).status, 3);
}

// A command reported as not carried out never goes out later: the receiver
// is unplugged, every command times out, and a receiver plugged in on the
// same path afterwards gets none of them, only the command sent after it.
TEST_F(Client, NoCommandGoesOutLateAfterItTimedOut) {
    const std::string link = home_.path() + "/receiver";
    Device device({"--pattern", "still"}, link);
    ASSERT_TRUE(device.running());
    std::string code = home_.path() + "/code.ir";
    WriteFile(code, "00 03 10 11\n");
    device.unplug();
    // Until the daemon has noticed the loss it may still take a command up
    // and fail to write it: the commands below are meant for a daemon that
    // knows the receiver is gone.
    {
        std::string error;
        tavro::DaemonStatus* status = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error);
        ASSERT_NE(status, nullptr) << error;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (__atomic_load_n(&status->ReceiverConnected, __ATOMIC_RELAXED) != 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(__atomic_load_n(&status->ReceiverConnected, __ATOMIC_RELAXED), 0)
            << "the daemon did not notice the unplugged receiver";
        shmdt(status);
    }

    struct Case {
        std::vector<std::string> args;
        const char* request;
    } cases[] = {
        {{"channel", "4"}, "channel"},
        {{"camera", "--gain", "3"}, "camera"},
        {{"ir", "send", code}, "send code"},
        {{"ir", "blast"}, "blast"},
        {{"ir", "learn", "--out", home_.path() + "/learned.ir", "--timeout", "1"}, "learn"},
        {{"motor", "stop"}, "motor stop"},
        {{"motor", "start", "--mode", "50", "--level", "100"}, "motor start"},
        {{"info"}, "handset copyright"},
    };
    for (const Case& c : cases) {
        Result result = Tavro(c.args);
        EXPECT_EQ(result.status, 3) << c.args[0] << ": " << result.output;
        EXPECT_NE(result.output.find(std::string("the ") + c.request + " request was not taken up within 2000 ms "
                                     "and was withdrawn"),
                  std::string::npos)
            << result.output;
    }
    EXPECT_EQ(ReadFile(home_.path() + "/learned.ir"), "");

    const std::string log = home_.path() + "/after.log";
    ASSERT_TRUE(device.replug(link, log));
    ASSERT_EQ(Tavro({"channel", "7"}).status, 0);
    // The writer serves every pending flag in one pass, the channel among
    // the last: once 7 is through, anything left over would be too.
    ASSERT_TRUE(WaitFor([&] { return ReadFile(log).find("rx 0d 01 07  ") != std::string::npos; }));
    const std::string after = ReadFile(log);
    for (const char* late : {"rx 0d 01 04", "rx 04 01 03", "rx 09 ", "rx 0c 00", "rx 08 ", "rx 02 00", "rx 02 02",
                             "rx 10 01 00"})
        EXPECT_EQ(after.find(late), std::string::npos) << late << " went out late:\n" << after;
}

TEST_F(Client, PathArgumentsAreCheckedWithAClearLine) {
    std::string directory = home_.path() + "/codes";
    ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"ir", "send", directory}, "tavro: cannot read " + directory + ": it is a directory, not an infrared code file"},
        {{"ir", "send", home_.path() + "/none.ir"}, "tavro: cannot read " + home_.path() + "/none.ir: No such file or directory"},
        {{"ir", "learn", "--out", "/nonexistent/x.hex"}, "tavro: cannot write /nonexistent/x.hex: No such file or directory"},
        {{"ir", "learn", "--out", directory}, "tavro: cannot write " + directory + ": it is a directory; give a file name"},
    };
    for (const Case& c : cases) {
        auto start = std::chrono::steady_clock::now();
        Result result = Tavro(c.args);
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_EQ(result.output, c.says + "\n");
        // Refused before any request: no wait for a daemon.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << c.args[1];
    }
    EXPECT_EQ(access((directory + ".tmp").c_str(), F_OK), -1);
    for (const char* option : {"--script", "--replay"}) {
        std::string output;
        EXPECT_EQ(RunProgram(TAVRO_SIM_PATH, {option, directory}, &output), 1) << option;
        EXPECT_EQ(output, "tavro-sim: cannot read " + directory + ": it is a directory\n");
    }
}

// The daemon's status as a daemon would leave it, for the cases a test
// cannot easily bring about with the real one.
class StatusWriter {
public:
    StatusWriter() {
        std::string error;
        status_ = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error);
        EXPECT_NE(status_, nullptr) << error;
    }
    ~StatusWriter() {
        stop_ = true;
        if (ticker_.joinable()) ticker_.join();
        if (status_ != nullptr) status_->DaemonPid = 0;
    }
    tavro::DaemonStatus* operator->() { return status_; }
    void receiver(const char* path, bool connected) {
        std::snprintf(status_->ReceiverPath, sizeof status_->ReceiverPath, "%s", path);
        status_->ReceiverConnected = connected ? 1 : 0;
    }
    // Packets keep coming, as from a handset held still.
    void tick() {
        ticker_ = std::thread([this] {
            while (!stop_) {
                __atomic_add_fetch(&status_->PacketsDecoded, 1, __ATOMIC_RELAXED);
                __atomic_store_n(&status_->LastPacketUnixNs, tavro::UnixNowNs(), __ATOMIC_RELAXED);
                std::this_thread::sleep_for(10ms);
            }
        });
    }

private:
    tavro::DaemonStatus* status_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread ticker_;
};

TEST_F(Client, MessagesNameTheRealCause) {
    // No daemon.
    Result blast = Tavro({"ir", "blast"});
    EXPECT_EQ(blast.status, 3);
    EXPECT_NE(blast.output.find("was withdrawn: no device daemon is running; start it with \"tavrod\""),
              std::string::npos)
        << blast.output;

    // A daemon (a stand-in process) without its receiver.
    ChildProcess daemon("/bin/sleep", {"60"});
    StatusWriter status;
    status->DaemonPid = daemon.pid();
    status.receiver("/dev/ttyUSB7", false);
    const std::string pid = std::to_string(daemon.pid());
    Result channel = Tavro({"channel", "4"});
    EXPECT_EQ(channel.status, 3);
    EXPECT_NE(channel.output.find("the device daemon tavrod (process " + pid +
                                  ") runs, but the receiver /dev/ttyUSB7 is not connected; plug it in"),
              std::string::npos)
        << channel.output;
    Result nothing = Tavro({"status"});
    EXPECT_NE(nothing.output.find("/dev/ttyUSB7 is not connected"), std::string::npos) << nothing.output;

    // The receiver connected, its last packet 30 s ago.
    status.receiver("/dev/ttyUSB7", true);
    status->PacketsDecoded = 500;
    status->LastPacketUnixNs = tavro::UnixNowNs() - 30'000'000'000LL;
    Result still = Tavro({"status"});
    EXPECT_EQ(still.status, 3);
    EXPECT_NE(still.output.find("the receiver /dev/ttyUSB7 is connected, but no packet has come for 3"),
              std::string::npos)
        << still.output;
    EXPECT_NE(still.output.find(" s; switch a handset on"),
              std::string::npos)
        << still.output;
    Result quiet = Tavro({"raw", "--timeout", "1"});
    EXPECT_EQ(quiet.status, 3);
    EXPECT_NE(quiet.output.find("no packet from the receiver for 1 s: the receiver /dev/ttyUSB7 is connected, "
                                "but no packet has come for"),
              std::string::npos)
        << quiet.output;

    // Packets keep coming while the payload stays the same (a handset held
    // still): raw does not claim there are none.
    status.tick();
    ChildProcess raw(TAVRO_PATH, {"raw", "--timeout", "1"});
    EXPECT_EQ(raw.wait(2500ms), -1) << raw.output();
    EXPECT_EQ(raw.output().find("no packet"), std::string::npos) << raw.output();
}

// `tavro status --watch` on a terminal of the given width: the bytes it
// wrote, until the condition on them holds.
class WatchTerminal {
public:
    explicit WatchTerminal(unsigned short columns) {
        winsize size{};
        size.ws_col = columns;
        size.ws_row = 40;
        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, &size) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
            close(master_);
            execl(TAVRO_PATH, TAVRO_PATH, "status", "--watch", "--interval", "50", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(slave);
    }
    ~WatchTerminal() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    bool waitFor(const std::function<bool(const std::string&)>& condition, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 50) > 0) {
                char buffer[4096];
                ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) output_.append(buffer, static_cast<size_t>(n));
            }
            if (condition(output_)) return true;
        }
        return false;
    }
    const std::string& output() const { return output_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string output_;
};

// The visible lines of terminal output, escape sequences removed.
std::vector<std::string> VisibleLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            i += 2;
            while (i < bytes.size() && !std::isalpha(static_cast<unsigned char>(bytes[i]))) ++i;
        } else if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c == '\r') {
            // The terminal sends a newline as "\r\n"; a lone "\r" starts the
            // line afresh.
            if (i + 1 >= bytes.size() || bytes[i + 1] != '\n') line.clear();
        } else {
            line += c;
        }
    }
    return lines;
}

// The visible text as one line, blanks collapsed.
std::string Flat(const std::string& bytes) {
    std::string joined;
    for (const std::string& line : VisibleLines(bytes))
        for (char c : line + " ")
            if (c != ' ' || (!joined.empty() && joined.back() != ' ')) joined += c;
    return joined;
}

TEST_F(Client, WatchRedrawsCleanlyAt60ColumnsAndShowsWhenItIsStale) {
    Device device({"--handsets", "2", "--pattern", "circle"});
    ASSERT_TRUE(device.running());
    StatusWriter status;  // what the daemon tells, should it not say it itself
    status->DaemonPid = device.daemonPid();
    status.receiver("/dev/pts/sim", true);
    status.tick();

    WatchTerminal terminal(60);
    auto frames = [](const std::string& text) {
        size_t count = 0;
        for (size_t at = text.find("active handset"); at != std::string::npos; at = text.find("active handset", at + 1))
            ++count;
        return count;
    };
    ASSERT_TRUE(terminal.waitFor([&](const std::string& text) { return frames(text) >= 5; }, 8000ms))
        << terminal.output();
    EXPECT_NE(terminal.output().find("daemon: running (process " + std::to_string(device.daemonPid()) + ")"),
              std::string::npos)
        << terminal.output();
    // No row reaches the last column (it would wrap and the redraw would
    // leave old rows behind) ...
    std::vector<std::string> visible = VisibleLines(terminal.output());
    ASSERT_GE(visible.size(), 20u);
    EXPECT_NE(std::find(visible.begin(), visible.end(), "active handset: 0"), visible.end()) << terminal.output();
    for (const std::string& line : visible) EXPECT_LT(line.size(), 60u) << line;
    // ... and each frame moves up over exactly the rows of the one before.
    std::vector<std::string> pieces;
    const std::string& out = terminal.output();
    size_t begin = 0;
    for (size_t at = out.find("\x1b[J"); at != std::string::npos; at = out.find("\x1b[J", begin)) {
        pieces.push_back(out.substr(begin, at - begin));
        begin = at + 3;
    }
    ASSERT_GE(pieces.size(), 3u);
    for (size_t i = 1; i < pieces.size(); ++i) {
        size_t rows = static_cast<size_t>(std::count(pieces[i - 1].begin(), pieces[i - 1].end(), '\n'));
        EXPECT_EQ(pieces[i].rfind("\r\x1b[" + std::to_string(rows) + "A", 0), 0u) << i;
    }
    EXPECT_EQ(out.find("STALE"), std::string::npos) << out;

    // The daemon goes: the view says it is stale and why, on lines broken
    // to fit.
    device.killDaemon();
    const size_t before = terminal.output().size();
    EXPECT_TRUE(terminal.waitFor(
        [&](const std::string& text) {
            return Flat(text.substr(before)).find("STALE (the values below are the last ones received): no device daemon is "
                                   "running; start it with") != std::string::npos;
        },
        5000ms))
        << Flat(terminal.output().substr(before));
    for (const std::string& line : VisibleLines(terminal.output())) EXPECT_LT(line.size(), 60u) << line;
}

TEST_F(Client, RawShowsEveryHandset) {
    Device device({"--handsets", "4", "--pattern", "circle"});
    ASSERT_TRUE(device.running());
    Result raw = Tavro({"raw", "--count", "30", "--timeout", "10"});
    ASSERT_EQ(raw.status, 0) << raw.output;
    EXPECT_EQ(Lines(raw.output).size(), 30u);
    for (int handset = 0; handset < 4; ++handset)
        EXPECT_NE(raw.output.find("tracking  handset=" + std::to_string(handset) + " "), std::string::npos)
            << handset << "\n" << raw.output;
}

// The pointing mode and the pointer's state belong to the running daemon:
// with none, a change is refused (it would be undone when the daemon
// starts); with one, it lands in the record and holds across clients.
TEST_F(Client, PointingModeAndPointerCommandsChangeTheRecordOfARunningDaemonOnly) {
    ASSERT_EQ(Tavro({"pointing"}).output, "pointing mode: direct\n");
    for (std::vector<std::string> change : {std::vector<std::string>{"pointing", "smart"},
                                            {"pointer", "off"}, {"pointer", "--user", "2"}}) {
        Result refused = Tavro(change);
        EXPECT_EQ(refused.status, 1) << change[0];
        EXPECT_NE(refused.output.find("no device daemon runs"), std::string::npos) << refused.output;
    }
    EXPECT_EQ(Tavro({"pointing"}).output, "pointing mode: direct\n");

    Device device({"--pattern", "still"});
    ASSERT_TRUE(device.running());
    int id = shmget(TAVRO_SHARED_MEMORY_KEY, 0, 0);
    ASSERT_GE(id, 0);
    auto* record = static_cast<const SharedDeviceState*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(record, reinterpret_cast<const SharedDeviceState*>(-1));
    auto byte = [](const uint8_t& field) { return tavro::LoadField(field); };
    struct Mode {
        const char* name;
        int direct, smart, boundary;
    } modes[] = {{"smart", 0, 1, 1}, {"game", 0, 0, 1}, {"direct", 1, 0, 0}};
    for (const Mode& mode : modes) {
        Result result = Tavro({"pointing", mode.name});
        EXPECT_EQ(result.output, std::string("pointing mode: ") + mode.name + "\n");
        EXPECT_EQ(byte(record->DirectPoint), mode.direct) << mode.name;
        EXPECT_EQ(byte(record->SmartPoint), mode.smart) << mode.name;
        EXPECT_EQ(byte(record->MoveAtBoundary), mode.boundary) << mode.name;
        // Another client attaching does not undo it.
        EXPECT_EQ(Tavro({"pointing"}).output, std::string("pointing mode: ") + mode.name + "\n");
    }
    Result off = Tavro({"pointer", "off", "--user", "2"});
    EXPECT_EQ(off.output, "pointer: off, driven by handset 2\n");
    EXPECT_EQ(byte(record->ActivateCursor), 0);
    EXPECT_EQ(tavro::LoadField(record->CurrentUser), 2);
    EXPECT_EQ(Tavro({"pointer", "on"}).output, "pointer: on, driven by handset 2\n");
    EXPECT_EQ(byte(record->ActivateCursor), 1);
    shmdt(record);
}

// A home on a read-only file system: the setter names that reason, and
// with no daemon says that nothing changed (the next program reads the file).
TEST_F(Client, AReadOnlyHomeIsNamedAndNoChangeIsClaimed) {
    const std::string home = std::string(getenv("HOME")) + "/read-only";
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    std::string output;
    const int status = RunProgram(
        "/usr/bin/unshare",
        {"--mount", "sh", "-c",
         "mount -t tmpfs -o ro none \"$0\" || exit 77; HOME=\"$0\" exec \"$1\" set StabThresh 6", home,
         TAVRO_PATH},
        &output);
    if (status == 77 || output.find("unshare failed") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << output;
    EXPECT_EQ(status, 1) << output;
    EXPECT_EQ(output, "tavro: cannot make the settings directory " + home +
                          "/.QuorVel: Read-only file system; the new values are not saved\n"
                          "tavro: StabThresh is not changed: the settings file " + home +
                          "/.QuorVel/Tavro.xml could not be updated\n");
}

// Programs that only look (the client, the demo, the Python package, the
// desktop app) attach to a running device's record: a smart-mode pointer
// must not move, and the first position they read is the daemon's.
TEST_F(Client, LookingNeverMovesASmartModePointerNorResetsThePositions) {
    XvfbServer xvfb;  // before the daemon, which opens the display it announces
    TAVRO_REQUIRE_X(xvfb);
    Device device({"--pattern", "still"});
    ASSERT_TRUE(device.running());
    ASSERT_EQ(Tavro({"pointing", "smart"}).status, 0);
    int id = shmget(TAVRO_SHARED_MEMORY_KEY, 0, 0);
    ASSERT_GE(id, 0);
    auto* record = static_cast<const SharedDeviceState*>(shmat(id, nullptr, SHM_RDONLY));
    ASSERT_NE(record, reinterpret_cast<const SharedDeviceState*>(-1));
    ASSERT_TRUE(WaitFor([&] { return tavro::LoadField(record->X[0]) != 0.0; }, 5000ms));
    WarpPointer(100, 100);
    std::this_thread::sleep_for(200ms);  // passes already under way land
    int x0 = 0, y0 = 0;
    ASSERT_TRUE(QueryPointer(&x0, &y0));
    // The Python package as its README shows it, with the kit of this build
    // (not in the sanitizer builds, whose libraries need their runtime
    // loaded first).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const bool python = false;
#else
    const bool python = access("/usr/bin/python3", X_OK) == 0;
#endif
    const std::vector<std::string> pythonKit{"PYTHONPATH=" TAVRO_BINARY_DIR "/python/site",
                                             "TAVRO_LIBRARY=" TAVRO_BINARY_DIR "/libTavroDev.so.1",
                                             "PYTHONDONTWRITEBYTECODE=1", "/usr/bin/python3", "-c",
                                             "import tavro; tavro.Kit()"};
    // 100 attaches: four kinds of program, 25 rounds.
    for (int round = 0; round < 25; ++round) {
        Result get = Tavro({"get", "StabThresh"});
        ASSERT_EQ(get.status, 0) << get.output;
        ASSERT_EQ(Tavro({"status"}).status, 0);
        if (python) {
            std::string output;
            ASSERT_EQ(RunProgram("/usr/bin/env", pythonKit, &output), 0) << output;
        }
        // The demo's first line is the daemon's position, not a reset 0, 0.
        const double daemonX = tavro::LoadField(record->X[0]);
        ChildProcess demo(TAVRO_DEMO_PATH, {});
        std::string line;
        ASSERT_TRUE(demo.readLine(&line));
        int shownX = -1, shownY = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "X = %d, Y = %d", &shownX, &shownY), 2) << line;
        EXPECT_NEAR(shownX, daemonX, 1.0) << line;
        demo.signal(SIGTERM);
        demo.wait();
#ifdef TAVRO_CONTROL_PATH
        // The desktop app, opened on each of its pages in turn.
        static const char* const kPages[] = {"handsets", "pointing", "keys", "receiver", "daemon"};
        if (round < 5) {
            ChildProcess app("/usr/bin/env", {"QT_QPA_PLATFORM=offscreen", TAVRO_CONTROL_PATH, "--page", kPages[round]});
            std::this_thread::sleep_for(1000ms);  // attached and drawing
            ASSERT_TRUE(app.running()) << app.output();
            app.signal(SIGTERM);
            EXPECT_EQ(app.wait(5000ms), 0) << app.output();
        }
#endif
    }
    int x1 = 0, y1 = 0;
    ASSERT_TRUE(QueryPointer(&x1, &y1));
    EXPECT_EQ(x1 - x0, 0);
    EXPECT_EQ(y1 - y0, 0);
    shmdt(record);
}

TEST_F(Client, EveryProgramHasHelpAndVersion) {
    struct Program {
        std::string path;
        std::vector<std::string> before;  // words before the option
        std::string usage, version;
    } programs[] = {
        {TAVRO_PATH, {}, "Usage: tavro COMMAND", "tavro 1."},
        {TAVRO_CALIBRATE_PATH, {}, "Usage: tavro-calibrate ", "tavro-calibrate 1."},
        {TAVRO_SIM_PATH, {}, "Usage: tavro-sim ", "tavro-sim 1."},
        {"/bin/bash", {TAVRO_SOURCE_DIR "/scripts/run-demo.sh"}, "Usage: scripts/run-demo.sh", "run-demo.sh (Tavro) 1."},
        {"/bin/bash", {TAVRO_SOURCE_DIR "/scripts/try-calibration.sh"}, "Usage: scripts/try-calibration.sh",
         "try-calibration.sh (Tavro) 1."},
    };
    for (const Program& program : programs) {
        std::vector<std::string> help = program.before, version = program.before;
        help.push_back("--help");
        version.push_back("--version");
        std::string output;
        EXPECT_EQ(RunProgram(program.path, help, &output), 0) << program.usage;
        EXPECT_EQ(output.rfind(program.usage, 0), 0u) << output;
        EXPECT_EQ(RunProgram(program.path, version, &output), 0) << program.version;
        EXPECT_EQ(output.rfind(program.version, 0), 0u) << output;
        EXPECT_EQ(Lines(output).size(), 1u) << output;
    }
    for (const char* command : {"pointing", "pointer"}) {
        Result help = Tavro({command, "--help"});
        EXPECT_EQ(help.output.rfind(std::string("Usage: tavro ") + command, 0), 0u) << help.output;
    }
    // The help of the calibration tool names both its options for targets.
    std::string output;
    RunProgram(TAVRO_CALIBRATE_PATH, {"--targets", "3"}, &output);
    EXPECT_EQ(output, "tavro-calibrate: --targets takes 4, 5 or 9, not \"3\"\n");
    RunProgram(TAVRO_CALIBRATE_PATH, {"--targets", "6"}, &output);
    EXPECT_EQ(output, "tavro-calibrate: --targets takes 4, 5 or 9, not \"6\"\n");
}

TEST_F(Client, SimulatorNeverTakesOverAnotherSimulatorsLink) {
    const std::string link = home_.path() + "/receiver";
    ChildProcess first(TAVRO_SIM_PATH, {"--link", link, "--rate", "0"});
    std::string slave;
    ASSERT_TRUE(first.readLine(&slave));
    std::string output;
    EXPECT_EQ(RunProgram(TAVRO_SIM_PATH, {"--link", link, "--rate", "0"}, &output), 1);
    EXPECT_EQ(output, "tavro-sim: " + link + " already links to " + slave +
                          " (another simulator's receiver?); stop that simulator or choose another --link\n");
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), slave);  // still the first one's
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(access(link.c_str(), F_OK), -1);  // its own link, removed

    // A stale link is named, not replaced.
    ASSERT_EQ(symlink("/dev/pts/9999", link.c_str()), 0);
    EXPECT_EQ(RunProgram(TAVRO_SIM_PATH, {"--link", link, "--rate", "0"}, &output), 1);
    EXPECT_NE(output.find("is a stale link to /dev/pts/9999"), std::string::npos) << output;
}

#else
TEST(Client, NeedsTheClientTheSimulatorAndTheDaemon) {
    GTEST_SKIP() << "tavro, tavro-sim or tavrod is not built";
}
#endif

}  // namespace
