// Soak of the device daemon: the receiver simulator at the line's limit
// (4 handsets, 115200 bit/s of tracking packets) and the real tavrod for a
// chosen time, in a private IPC namespace with a temporary HOME.  Every 10 s
// it samples tavrod's resident memory, threads, open descriptors and CPU and
// the packets the daemon has decoded; at the end it compares the packets the
// simulator sent (its --record file, parsed) with those decoded; then it
// unplugs and replugs the receiver N times (the simulator killed and started
// again on the same path) and times how long the daemon takes to decode
// packets again.  Prints tables; not run by the test suite.
#include "DaemonStatus.h"
#include "TavroLinux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: tavro-bench-soak [--minutes N] [--replugs N] [--rate HZ] [--bin DIR]\n"
    "Runs tools/tavro-sim with 4 handsets and the real tavrod for N minutes\n"
    "(default 10), samples the daemon every 10 s, compares packets sent with\n"
    "packets decoded, then unplugs and replugs the receiver N times (default 5)\n"
    "and times the daemon's return.  Runs in a private IPC namespace with a\n"
    "temporary HOME, so the machine's segment and settings are never touched.\n"
    "\n"
    "  --minutes N   soak time (default 10; fractions allowed)\n"
    "  --replugs N   unplug/replug cycles (default 5)\n"
    "  --rate HZ     tracking packets per second per handset (default 160:\n"
    "                4 x 160 packets of 18 bytes fill 115200 bit/s)\n"
    "  --bin DIR     the build directory holding tools/ (default: this\n"
    "                program's build directory)\n";

struct Options {
    double minutes = 10;
    int replugs = 5;
    int rate = 160;
    std::string bin;
};

pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

struct Sample {
    long rssKiB = 0;
    int threads = 0;
    int descriptors = 0;
    double cpuSeconds = 0;
};

Sample SampleProcess(pid_t pid) {
    Sample s;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atoi(line.c_str() + 8);
    }
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') ++s.descriptors;
        closedir(dir);
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) {
                stime = std::stoull(field);
                break;
            }
        }
        s.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return s;
}

// Tracking packets in a recorded stream ("Q" "V" 1 length payload).
unsigned long long TrackingPacketsIn(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unsigned long long count = 0;
    size_t i = 0;
    while (i + 4 <= bytes.size()) {
        if (bytes[i] != 0x51 || bytes[i + 1] != 0x56) {
            ++i;
            continue;
        }
        const size_t length = bytes[i + 2] == 9 ? 2u * bytes[i + 3] : bytes[i + 3];
        if (i + 4 + length > bytes.size()) break;  // cut off when the simulator stopped
        if (bytes[i + 2] == 1) ++count;
        i += 4 + length;
    }
    return count;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--minutes" && value(&text)) {
            options->minutes = std::atof(text.c_str());
        } else if (arg == "--replugs" && value(&text)) {
            options->replugs = std::atoi(text.c_str());
        } else if (arg == "--rate" && value(&text)) {
            options->rate = std::atoi(text.c_str());
        } else if (arg == "--bin" && value(&text)) {
            options->bin = text;
        } else {
            std::fprintf(stderr, "tavro-bench-soak: bad option %s (see --help)\n", arg.c_str());
            return false;
        }
    }
    return options->minutes > 0 && options->replugs >= 0 && options->rate > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return 2;
    if (options.bin.empty()) {
        char self[4096] = {};
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
        options.bin = path.substr(0, path.rfind('/')) + "/..";  // bench/ lies in the build directory
    }
    const std::string sim = options.bin + "/tools/tavro-sim/tavro-sim";
    const std::string daemon = options.bin + "/tools/tavrod/tavrod";
    if (access(sim.c_str(), X_OK) != 0 || access(daemon.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "tavro-bench-soak: %s or %s is missing: build the kit first, or give --bin\n",
                     sim.c_str(), daemon.c_str());
        return 1;
    }

    // Our own segment and settings: never the machine's.
    if (unshare(CLONE_NEWIPC) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWIPC) != 0) {
        std::perror("tavro-bench-soak: cannot make a private IPC namespace");
        return 1;
    }
    char work[] = "/tmp/tavro-soak-XXXXXX";
    if (mkdtemp(work) == nullptr) return 1;
    const std::string dir = work;
    setenv("HOME", dir.c_str(), 1);
    unsetenv("DISPLAY");  // the daemon's record and counters, not a desktop, are measured
    const std::string link = dir + "/receiver";

    int cycle = 0;
    auto startSimulator = [&] {
        ++cycle;
        std::vector<std::string> args = {sim, "--handsets", "4", "--rate", std::to_string(options.rate),
                                         "--link", link, "--record", dir + "/sent-" + std::to_string(cycle) + ".bin",
                                         "--command-log", dir + "/commands.log"};
        pid_t pid = Spawn(args, dir + "/sim.out", dir + "/sim.err");
        WaitUntil([&] { return access(link.c_str(), F_OK) == 0; }, std::chrono::seconds(5));
        return pid;
    };

    unlink(link.c_str());
    pid_t simulator = startSimulator();
    pid_t tavrod = Spawn({daemon, "--device", link}, dir + "/tavrod.out", dir + "/tavrod.err");

    std::string error;
    tavro::DaemonStatus* status = nullptr;
    WaitUntil([&] { return (status = tavro::AttachDaemonStatus(TAVRO_SHARED_MEMORY_KEY, &error)) != nullptr; },
              std::chrono::seconds(5));
    auto decoded = [&] { return status ? __atomic_load_n(&status->PacketsDecoded, __ATOMIC_RELAXED) : 0ull; };
    auto connected = [&] { return status && __atomic_load_n(&status->ReceiverConnected, __ATOMIC_RELAXED) != 0; };
    if (status == nullptr || !WaitUntil([&] { return decoded() > 0; }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "tavro-bench-soak: the daemon decodes nothing (%s); see %s/tavrod.err\n",
                     error.c_str(), dir.c_str());
        Stop(simulator);
        Stop(tavrod);
        return 1;
    }

    // Packets the simulator sent while the daemon was starting (before it
    // had the tty open and configured) are not part of the measure; the
    // count starts here.
    const unsigned long long decodedAtStart = decoded();
    const unsigned long long sentAtStart = TrackingPacketsIn(dir + "/sent-1.bin");

    std::printf("Soak: tavrod with tavro-sim, 4 handsets at %d packets/s each, %.1f min\n\n", options.rate,
                options.minutes);
    std::printf("%8s %10s %8s %6s %8s %12s %10s\n", "time s", "RSS KiB", "threads", "fds", "CPU %",
                "decoded", "packets/s");
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.minutes * 60.0));
    Sample previous = SampleProcess(tavrod);
    unsigned long long previousDecoded = decoded();
    auto previousTime = start;
    for (int tick = 1;; ++tick) {
        auto next = start + std::chrono::seconds(10 * tick);
        if (next > end) next = end;
        std::this_thread::sleep_until(next);
        const Sample s = SampleProcess(tavrod);
        const unsigned long long now = decoded();
        const double elapsed = std::chrono::duration<double>(next - previousTime).count();
        std::printf("%8.0f %10ld %8d %6d %8.1f %12llu %10.0f\n",
                    std::chrono::duration<double>(next - start).count(), s.rssKiB, s.threads, s.descriptors,
                    elapsed > 0 ? 100.0 * (s.cpuSeconds - previous.cpuSeconds) / elapsed : 0.0, now,
                    elapsed > 0 ? (now - previousDecoded) / elapsed : 0.0);
        std::fflush(stdout);
        previous = s;
        previousDecoded = now;
        previousTime = next;
        if (next >= end) break;
    }

    // The simulator stops; what it sent the daemon must have decoded once
    // the tty is drained.
    Stop(simulator);
    unsigned long long settled = decoded();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (decoded() == settled) break;
        settled = decoded();
    }
    const unsigned long long sent = TrackingPacketsIn(dir + "/sent-1.bin") - sentAtStart;
    settled -= decodedAtStart;
    std::printf("\n(counted from the daemon's first decoded packet on: the %llu sent while it\n"
                "was starting are left out; packets in the tty at that instant count as\n"
                "decoded but not sent, so a few below zero is none lost)\n",
                sentAtStart - decodedAtStart);
    std::printf("%-28s %12llu\n%-28s %12llu\n%-28s %12lld\n", "tracking packets sent", sent,
                "tracking packets decoded", settled, "lost", static_cast<long long>(sent) - static_cast<long long>(settled));

    // Unplug and replug: the daemon must notice the loss and decode again
    // once the receiver is back.
    std::printf("\n%6s %18s %18s\n", "replug", "loss seen ms", "back decoding ms");
    double worst = 0;
    for (int i = 1; i <= options.replugs; ++i) {
        const auto lossStart = Clock::now();
        bool lost = WaitUntil([&] { return !connected(); }, std::chrono::seconds(5));
        const double lossMs = std::chrono::duration<double, std::milli>(Clock::now() - lossStart).count();
        unlink(link.c_str());
        const unsigned long long before = decoded();
        const auto plugged = Clock::now();
        simulator = startSimulator();
        bool back = WaitUntil([&] { return decoded() > before; }, std::chrono::seconds(10));
        const double backMs = std::chrono::duration<double, std::milli>(Clock::now() - plugged).count();
        if (backMs > worst) worst = backMs;
        std::printf("%6d %18s %18s\n", i, lost ? std::to_string(static_cast<int>(lossMs)).c_str() : "not seen",
                    back ? std::to_string(static_cast<int>(backMs)).c_str() : "not back");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (i < options.replugs) Stop(simulator);
    }
    const Sample last = SampleProcess(tavrod);
    std::printf("\nafter the replugs: RSS %ld KiB, %d threads, %d fds; slowest return %.0f ms\n", last.rssKiB,
                last.threads, last.descriptors, worst);

    Stop(simulator);
    Stop(tavrod);
    std::printf("logs in %s\n", dir.c_str());
    return 0;
}
