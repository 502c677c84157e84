// tavro info / camera / channel / motor / stop: requests to the receiver,
// carried out by the daemon that owns it.
#include "Commands.h"
#include "Kit.h"
#include "tavrodev.h"

#include <atomic>
#include <cstdio>
#include <cstring>
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

namespace {

// Time the receiver gets to answer an information request once the daemon
// has sent it.
constexpr std::chrono::milliseconds kReplyTimeout{1200};

struct InfoItem {
    const char* label;
    int kind;  // the record's InfoKind
};

// Asks for one kind of information.  Returns an exit status; on success the
// reply is in *reply.  The request is raised here rather than through the
// API's getter, which gives up after 200 ms: the daemon gets the client's
// longer time to take it up, and a request it never took up is withdrawn.
int Fetch(SharedDeviceState* r, const InfoItem& item, std::string* reply) {
    // The record keeps the previous reply's length; clear it so that only a
    // fresh reply counts as an answer.
    tavro::StoreField(r->InfoLength, 0);
    tavro::StoreField(r->InfoKind, static_cast<int32_t>(item.kind));
    tavro::RaiseRequest(r->GetInfoRequest);
    if (!AwaitOrWithdraw(r, &SharedDeviceState::GetInfoRequest)) return NotServed(item.label);
    if (!WaitUntil([&] { return tavro::LoadField(r->InfoLength) > 0; }, kReplyTimeout))
        return Fail(kExitNoAnswer, "no answer from the receiver to the %s request within %lld ms",
                    item.label, static_cast<long long>(kReplyTimeout.count()));
    std::atomic_thread_fence(std::memory_order_acquire);
    int length = tavro::LoadField(r->InfoLength);
    if (length > static_cast<int>(sizeof r->InfoBuffer)) length = sizeof r->InfoBuffer;
    char bytes[sizeof r->InfoBuffer];
    tavro::LoadBytes(r->InfoBuffer, bytes, static_cast<size_t>(length));
    reply->assign(bytes, static_cast<size_t>(length));
    return kExitOk;
}

// Text replies as text; anything else as decimal bytes with their hex.
std::string Describe(const std::string& reply) {
    size_t end = reply.size();
    while (end > 0 && reply[end - 1] == '\0') --end;
    bool text = end > 0;
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(reply[i]);
        if (c < 0x20 || c > 0x7E) text = false;
    }
    if (text) return reply.substr(0, end);
    std::string decimal, hex;
    char item[8];
    for (unsigned char c : reply) {
        std::snprintf(item, sizeof item, "%s%u", decimal.empty() ? "" : " ", c);
        decimal += item;
        std::snprintf(item, sizeof item, "%s%02x", hex.empty() ? "" : " ", c);
        hex += item;
    }
    return decimal + " (" + hex + ")";
}

}  // namespace

int RunInfo(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {}, {"energy"})) return kExitUsage;
    if (!line.Positional().empty()) return Fail(kExitUsage, "usage: tavro info [--energy]");
    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;

    std::vector<InfoItem> items = {
        {"handset copyright", 0}, {"handset version", 1},    {"handset date", 2},
        {"receiver copyright", 3}, {"receiver version", 4},  {"receiver date", 5},
        {"handset assignment", 6}, {"signal strength", 7},   {"channel", 8},
    };
    if (line.Has("energy")) items.push_back({"energy map", 9});
    for (const InfoItem& item : items) {
        std::string reply;
        int status = Fetch(r, item, &reply);
        if (status != kExitOk) return status;
        std::printf("%-20s %s\n", (std::string(item.label) + ":").c_str(), Describe(reply).c_str());
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
    int32_t errorBefore = tavro::LoadField(r->LastError);
    // The daemon sends them in this order within one pass.
    RequestFlag last = nullptr;
    if (threshold >= 0) {
        TV_SetThreshold(static_cast<int>(threshold));
        last = &SharedDeviceState::SetThreshRequest;
    }
    if (gain >= 0) {
        TV_SetGain(static_cast<int>(gain));
        last = &SharedDeviceState::SetGainRequest;
    }
    if (exposure >= 0) {
        TV_SetExposure(static_cast<int>(exposure));
        last = &SharedDeviceState::SetExposureRequest;
    }
    // Any of the three not taken up in time is withdrawn with the others.
    const RequestFlag camera[] = {&SharedDeviceState::SetThreshRequest, &SharedDeviceState::SetGainRequest,
                                  &SharedDeviceState::SetExposureRequest};
    for (RequestFlag flag : camera)
        if (flag != last && !AwaitOrWithdraw(r, flag)) {
            for (RequestFlag other : camera) tavro::WithdrawRequest(r->*other);
            return NotServed("camera");
        }
    int status = CompleteCommand(r, last, errorBefore, "camera");
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
        int status = Fetch(r, {"channel", 8}, &reply);
        if (status == kExitOk) std::printf("channel: %s\n", Describe(reply).c_str());
        return status;
    }
    int32_t errorBefore = tavro::LoadField(r->LastError);
    TV_SetPODChannel(static_cast<int>(channel));
    int status = CompleteCommand(r, &SharedDeviceState::FrequencyRequest, errorBefore, "channel");
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
    int32_t errorBefore = tavro::LoadField(r->LastError);
    if (words[0] == "start") {
        TV_StartMotor(static_cast<int>(mode), static_cast<int>(level), static_cast<int>(value));
        int status = CompleteCommand(r, &SharedDeviceState::StartMotorRequest, errorBefore, "motor start");
        if (status == kExitOk) std::puts("motor started");
        return status;
    }
    tavro::RaiseRequest(r->StopMotorRequest);
    int status = CompleteCommand(r, &SharedDeviceState::StopMotorRequest, errorBefore, "motor stop");
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
