// From a key press in a packet to the key at the output: the device runs on
// a pseudo-terminal, an output of this program's own stamps the first key
// event after each press, and the same presses are timed with the kit's
// built-in keys and with a bindings file of 40 bindings with gestures (the
// timed key bound as a plain press).  Prints p50 and p99 of both.
//
// Runs in a private IPC namespace with a temporary HOME:
//   sh tests/support/run-isolated.sh build/bench/tavro-bench-key-latency [PRESSES]
#include "KeyBindings.h"
#include "Output.h"
#include "TavroLinux.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kEast = 3;

// Stamps the first key pressed after each packet written.
class StampingOutput : public tavro::Output {
public:
    const char* Name() const override { return "stamp"; }
    bool ScreenSize(int* w, int* h) override { return *w = 1920, *h = 1080, true; }
    void MoveAbsolute(int, int) override {}
    void MoveRelative(int, int) override {}
    bool CursorPosition(int*, int*) override { return false; }
    void Button(tavro::PointerButton, bool) override {}
    bool Scroll(int, int) override { return true; }
    bool Key(unsigned long, bool down) override {
        if (down && waiting.exchange(false)) pressedNs.store(Clock::now().time_since_epoch().count());
        if (!down) ++releases;
        return true;
    }
    void Pause(int) override {}
    void Flush() override {}
    void ReleaseAll() override {}
    std::atomic<bool> waiting{false};
    std::atomic<long long> pressedNs{0};
    std::atomic<int> releases{0};
};

std::vector<unsigned char> Packet(unsigned held) {
    const unsigned buttons = 0xFFFFu & ~held & 0x9FFFu;
    const unsigned words[] = {buttons, 20000, 14400, 50, 16000, 14400, 50};
    std::vector<unsigned char> out{0x51, 0x56, 0x01, 14};
    for (unsigned w : words) out.insert(out.end(), {static_cast<unsigned char>(w >> 8), static_cast<unsigned char>(w)});
    return out;
}

// 39 bindings of other keys and handsets, with every gesture, and the
// timed key as a press.
std::string FortyBindings() {
    static const char* const kKeys[] = {"up-right", "up", "up-left", "centre", "left",
                                        "down-right", "down", "down-left", "menu"};
    static const char* const kGestures[] = {"", " hold 400", " double 250"};
    std::string text = "[forty]\nright = key Right\n";
    int n = 1;
    for (int handset = 2; handset <= 4 && n < 40; ++handset)
        for (int g = 0; g < 3 && n < 40; ++g)
            for (const char* key : kKeys) {
                if (n == 40) break;
                text += "handset " + std::to_string(handset) + " " + key + kGestures[g] + " = key ctrl+F" +
                        std::to_string(1 + n % 12) + "\n";
                ++n;
            }
    return text;
}

size_t g_bindingsLoaded = 0;  // of the last run, to show the file was in use

std::vector<double> Run(const std::string& bindingsPath, int presses) {
    // A record's status segment takes the key above it.
    static int key = 0x7C00;
    CTavroLinux::SharedMemoryKey = key += 2;
    auto& kit = *new CTavroLinux;  // never freed: the kit's objects live for the process
    if (kit.Initialize() != 0 || kit.SharedData == nullptr) {
        std::fprintf(stderr, "tavro-bench-key-latency: the kit did not start (its record); run it through tests/support/run-isolated.sh\n");
        std::exit(1);
    }
    auto output = std::make_shared<StampingOutput>();
    std::atomic_store(&kit.DesktopOutput, std::shared_ptr<tavro::Output>(output));
    kit.RunOptions.BindingsPath = bindingsPath;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    const std::string path = ptsname(master);
    const int keeper = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(keeper, &t);
    cfmakeraw(&t);
    tcsetattr(keeper, TCSANOW, &t);
    std::snprintf(kit.SharedData->DeviceName, sizeof kit.SharedData->DeviceName, "%s", path.c_str());
    kit.SharedData->ActivateCursor = 0;
    std::thread device([&] { kit.StartDevice(); });
    while (!kit.ReaderRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    g_bindingsLoaded = 0;
    if (const auto bindings = std::atomic_load(&kit.Bindings))
        for (const tavro::Profile& p : bindings->Current()->profiles) g_bindingsLoaded += p.bindings.size();

    auto write = [&](const std::vector<unsigned char>& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
        }
    };
    std::vector<double> latencies;
    for (int i = 0; i < presses; ++i) {
        output->waiting = true;
        const long long written = Clock::now().time_since_epoch().count();
        write(Packet(1u << kEast));
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (output->waiting && Clock::now() < deadline) std::this_thread::yield();
        if (!output->waiting) latencies.push_back((output->pressedNs - written) / 1e6);
        const int released = output->releases;
        write(Packet(0));
        while (output->releases == released && Clock::now() < deadline + std::chrono::seconds(1))
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(16));  // the next packet of a 60 Hz handset
    }
    kit.SharedData->StopRequest = 1;
    device.join();
    while (kit.Counts.RunningPasses.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    close(keeper);
    close(master);
    return latencies;
}

void Print(const char* name, std::vector<double> t, int presses) {
    std::sort(t.begin(), t.end());
    if (t.empty()) {
        std::printf("| %-30s | no key came |\n", name);
        return;
    }
    std::printf("| %-30s | %7.3f | %7.3f | %4zu of %d |\n", name, t[t.size() / 2],
                t[std::min(t.size() - 1, t.size() * 99 / 100)], t.size(), presses);
}

}  // namespace

int main(int argc, char** argv) {
    const int presses = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    const char* home = getenv("HOME");
    const std::string file = std::string(home != nullptr ? home : "/tmp") + "/bench-bindings.conf";
    std::ofstream(file) << FortyBindings();
    // Alternating runs, so that the machine's state favours neither.
    std::vector<double> builtin, forty;
    for (int round = 0; round < 2; ++round) {
        for (double v : Run(file + ".none", presses / 2)) builtin.push_back(v);
        for (double v : Run(file, presses / 2)) forty.push_back(v);
        if (g_bindingsLoaded != 40) {
            std::fprintf(stderr, "tavro-bench-key-latency: %zu bindings in use, not 40\n", g_bindingsLoaded);
            return 1;
        }
    }
    std::printf("key press in the packet to the key at the output, ms\n");
    std::printf("| %-30s | %7s | %7s | %s |\n", "profile", "p50", "p99", "presses timed");
    std::printf("|%s|---------|---------|---------------|\n", std::string(32, '-').c_str());
    Print("built-in (no bindings file)", builtin, presses);
    Print("40 bindings with gestures", forty, presses);
    return 0;
}
