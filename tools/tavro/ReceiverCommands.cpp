// tavro info / camera / channel / motor / stop: requests to the receiver,
// carried out by the daemon that owns it.
#include "Commands.h"
#include "Kit.h"
#include "ReceiverRequests.h"
#include "tavrodev.h"

#include <cstdio>
#include <string>

namespace tavro::cli {

const char kInfoHelp[] =
    "Usage: tavro info [--energy]\n"
    "\n"
    "Asks the receiver for its information and prints it: the copyright, version\n"
    "and date of the handset's and of the receiver's firmware, the handset\n"
    "assignment table, the radio signal strength and the channel.  Text replies\n"
    "are printed as text, others as decimal byte values with their hex bytes.\n"
    "Each request takes at least 200 ms.\n"
    "\n"
    "  --energy   also the energy map (the receiver's reading of each channel)\n";

const char kCameraHelp[] =
    "Usage: tavro camera [--threshold N] [--gain N] [--exposure N]\n"
    "\n"
    "Sets how the handset's camera sees the two light spots: the brightness\n"
    "threshold below which it ignores light (0-127), its gain (0-63) and its\n"
    "exposure (0-255); give at least one.  Values outside the ranges are\n"
    "refused.\n";

const char kChannelHelp[] =
    "Usage: tavro channel [N]\n"
    "\n"
    "Without N, asks the receiver for its radio channel and prints it.  With N\n"
    "(0-255), switches the receiver to that channel.\n";

const char kMotorHelp[] =
    "Usage: tavro motor start --mode 25|50|75|100 --level L [--value V]\n"
    "       tavro motor stop\n"
    "\n"
    "Starts the handset's vibration motor with a mode (25, 50, 75 or 100), a\n"
    "strength level (0-2268, in steps of 36) and a value (0-255, default 0), or\n"
    "stops it.\n";

const char kStopHelp[] =
    "Usage: tavro stop\n"
    "\n"
    "Stops the device daemon (tavrod): it releases the receiver and ends.  Waits\n"
    "up to 5 s for it to end.  With no daemon running there is nothing to stop\n"
    "(exit status 1).\n";

int RunInfo(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {"energy"})) return kExitUsage;
    if (!line.Positional().empty()) return Fail(kExitUsage, "usage: tavro info [--energy]");
    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;

    std::vector<InfoItem> items = InfoItems();
    if (line.Has("energy")) items.push_back(kEnergyMapInfo);
    for (const InfoItem& item : items) {
        std::string reply;
        int status = Report(FetchInfo(r, item, &reply));
        if (status != kExitOk) return status;
        std::printf("%-20s %s\n", (std::string(item.label) + ":").c_str(), DescribeInfo(reply).c_str());
        std::fflush(stdout);
    }
    return kExitOk;
}

int RunCamera(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {"threshold", "gain", "exposure"}, {})) return kExitUsage;
    if (!line.Positional().empty())
        return Fail(kExitUsage, "camera takes options only, not \"%s\"", line.Positional()[0].c_str());
    long threshold = -1, gain = -1, exposure = -1;
    if (line.Has("threshold") && !line.IntOption("threshold", 0, 127, &threshold)) return kExitUsage;
    if (line.Has("gain") && !line.IntOption("gain", 0, 63, &gain)) return kExitUsage;
    if (line.Has("exposure") && !line.IntOption("exposure", 0, 255, &exposure)) return kExitUsage;
    if (threshold < 0 && gain < 0 && exposure < 0)
        return Fail(kExitUsage, "camera needs --threshold, --gain or --exposure");

    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    int status = Report(SetCamera(r, static_cast<int>(threshold), static_cast<int>(gain),
                                  static_cast<int>(exposure)));
    if (status == kExitOk) std::puts("camera settings sent");
    return status;
}

int RunChannel(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {})) return kExitUsage;
    if (line.Positional().size() > 1) return Fail(kExitUsage, "usage: tavro channel [N]");
    long channel = -1;
    if (line.Positional().size() == 1 &&
        (!ParseInt(line.Positional()[0], &channel) || channel < 0 || channel > 255))
        return Fail(kExitUsage, "the channel is a whole number from 0 to 255, not \"%s\"",
                    line.Positional()[0].c_str());

    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    if (channel < 0) {
        std::string reply;
        int status = Report(FetchInfo(r, kChannelInfo, &reply));
        if (status == kExitOk) std::printf("channel: %s\n", DescribeInfo(reply).c_str());
        return status;
    }
    int status = Report(SetChannel(r, static_cast<int>(channel)));
    if (status == kExitOk) std::printf("channel %ld sent\n", channel);
    return status;
}

int RunMotor(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {"mode", "level", "value"}, {})) return kExitUsage;
    const std::vector<std::string>& words = line.Positional();
    if (words.size() != 1 || (words[0] != "start" && words[0] != "stop"))
        return Fail(kExitUsage, "usage: tavro motor start --mode M --level L [--value V] | tavro motor stop");
    long mode = 0, level = 0, value = 0;
    if (words[0] == "start") {
        if (!line.Has("mode") || !line.Has("level"))
            return Fail(kExitUsage, "motor start needs --mode and --level");
        if (!ParseInt(line.Option("mode"), &mode) ||
            (mode != 25 && mode != 50 && mode != 75 && mode != 100))
            return Fail(kExitUsage, "--mode takes 25, 50, 75 or 100, not \"%s\"", line.Option("mode").c_str());
        if (!line.IntOption("level", 0, 2268, &level)) return kExitUsage;
        if (line.Has("value") && !line.IntOption("value", 0, 255, &value)) return kExitUsage;
    } else if (line.Has("mode") || line.Has("level") || line.Has("value")) {
        return Fail(kExitUsage, "motor stop takes no options");
    }

    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    if (words[0] == "start") {
        int status = Report(StartMotor(r, static_cast<int>(mode), static_cast<int>(level), static_cast<int>(value)));
        if (status == kExitOk) std::puts("motor started");
        return status;
    }
    int status = Report(StopMotor(r));
    if (status == kExitOk) std::puts("motor stopped");
    return status;
}

int RunStop(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {})) return kExitUsage;
    if (!line.Positional().empty()) return Fail(kExitUsage, "usage: tavro stop");
    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    DaemonView daemon = ReadDaemonView();
    // A stop nobody takes up would stay raised in the record: not raised.
    if (!daemon.running) return Fail(kExitFailure, "nothing to stop: no device daemon is running");
    TV_StopDevice();
    if (!WaitUntil([&] { return !ReadDaemonView().running; }, std::chrono::milliseconds(5000))) {
        if (g_interrupted) return Fail(kExitFailure, "interrupted");
        return Fail(kExitNoAnswer, "the device daemon (process %d) was asked to stop but still runs after 5 s",
                    daemon.pid);
    }
    std::printf("the device daemon (process %d) stopped\n", daemon.pid);
    return kExitOk;
}

}  // namespace tavro::cli
