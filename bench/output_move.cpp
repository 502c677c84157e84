// One sub-frame's pointer move through each output, timed per call: the X11
// output (a warp, or a query and a warp, then a flush, on a private Xvfb) and
// the uinput output (axis events on its absolute or relative pointer) where
// /dev/uinput can be opened.  Prints a table.
//
//   tavro-bench-output-move [moves]       (default 20000 per row)
//
// Where this machine's kernel has no uinput, run it in the test machine:
//   tests/vm/run-in-vm.sh -- build/bench/tavro-bench-output-move
#include "OutputSelection.h"
#include "TavroLinux.h"
#include "UinputOutput.h"
#include "X11Output.h"
#include "XServer.h"

#include <X11/Xlib.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Row {
    std::string output, move;
    std::vector<double> us;  // per call
};

Row Measure(const std::string& output, const std::string& move, int count, const std::function<void(int)>& step) {
    Row row{output, move, {}};
    row.us.reserve(static_cast<size_t>(count));
    for (int i = 0; i < 200; ++i) step(i);  // warm up
    for (int i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        step(i);
        row.us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    return row;
}

void Print(std::vector<Row>& rows) {
    std::printf("%-8s %-34s %8s %10s %10s %10s\n", "output", "one sub-frame's move", "calls", "median us",
                "mean us", "p99 us");
    for (Row& row : rows) {
        std::sort(row.us.begin(), row.us.end());
        double sum = 0;
        for (double v : row.us) sum += v;
        const size_t n = row.us.size();
        std::printf("%-8s %-34s %8zu %10.2f %10.2f %10.2f\n", row.output.c_str(), row.move.c_str(), n,
                    row.us[n / 2], sum / static_cast<double>(n), row.us[std::min(n - 1, n * 99 / 100)]);
    }
}

// Positions along a diagonal, so that every move changes the position.
int Along(int i, int size) { return 100 + (i * 7) % (size - 200); }

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::printf("usage: %s [moves per row]\ntimes one sub-frame's pointer move through the X11 output "
                    "(on a private Xvfb) and the uinput output (where /dev/uinput opens)\n",
                    argv[0]);
        return 0;
    }
    const int count = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 20000;
    std::vector<Row> rows;
    std::vector<std::string> notes;

    {
        tavro::test::XvfbServer xvfb(1920, 1080);
        if (xvfb.started()) {
            XInitThreads();
            display = XOpenDisplay(nullptr);
        }
        if (display != nullptr) {
            tavro::X11Output x11;
            rows.push_back(Measure("x11", "direct: warp to (x, y)", count,
                                [&](int i) { x11.MoveAbsolute(Along(i, 1920), Along(i, 1080)); }));
            rows.push_back(Measure("x11", "smart: query, warp by (dx, dy)", count,
                                [&](int i) { x11.MoveRelative(i % 2 ? 3 : -3, i % 2 ? 2 : -2); }));
            rows.push_back(Measure("x11", "game: query, then smart's move", count, [&](int i) {
                int x = 0, y = 0;
                x11.CursorPosition(&x, &y);
                x11.MoveRelative(Along(i, 1920) - x, Along(i, 1080) - y);
            }));
            // The server has handled every move before the next row.
            XSync(display, False);
            XCloseDisplay(display);
            display = nullptr;
        } else {
            notes.push_back("x11: no Xvfb, not measured");
        }
    }

    std::string error;
    std::unique_ptr<tavro::UinputOutput> uinput = tavro::UinputOutput::Create(1920, 1080, true, &error);
    if (uinput) {
        rows.push_back(Measure("uinput", "direct: ABS_X, ABS_Y, SYN_REPORT", count,
                            [&](int i) { uinput->MoveAbsolute(Along(i, 1920), Along(i, 1080)); }));
        rows.push_back(Measure("uinput", "smart: REL_X, REL_Y, SYN_REPORT", count,
                            [&](int i) { uinput->MoveRelative(i % 2 ? 3 : -3, i % 2 ? 2 : -2); }));
        // The desktop does not tell where its pointer is: game mode moves
        // to the aim as direct mode does.
        rows.push_back(Measure("uinput", "game: no position, absolute move", count, [&](int i) {
            int x = 0, y = 0;
            if (!uinput->CursorPosition(&x, &y)) uinput->MoveAbsolute(Along(i, 1920), Along(i, 1080));
        }));
    } else {
        notes.push_back("uinput: " + error +
                        "; measure it in the test machine: tests/vm/run-in-vm.sh -- " + argv[0]);
    }

    Print(rows);
    for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
    return 0;
}
