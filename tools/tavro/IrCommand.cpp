// tavro ir learn / send / blast: infrared codes through the receiver.
#include "Commands.h"
#include "ConfigFiles.h"
#include "IrCodeFile.h"
#include "Kit.h"
#include "ReceiverRequests.h"

#include <unistd.h>

#include <cstdio>

namespace tavro::cli {

const char kIrHelp[] =
    "Usage: tavro ir learn --out FILE|--name NAME [--timeout S]\n"
    "       tavro ir send FILE|NAME\n"
    "       tavro ir blast\n"
    "\n"
    "learn  puts the receiver into learning mode and waits (showing the time\n"
    "       left) until it has read a code from a remote control pointed at it,\n"
    "       then saves the code in FILE (\"-\": standard output), or under NAME\n"
    "       in ~/.config/tavro/ir/NAME.ir, where key bindings find it (\"ir NAME\").\n"
    "       --timeout is the longest wait in seconds (default 30).\n"
    "send   sends the code in FILE (\"-\": standard input), or the one saved\n"
    "       under NAME, out of the receiver.\n"
    "blast  makes the receiver send its infrared blast.\n"
    "\n"
    "Code files are hex text: '#' starts a comment, every other character is a\n"
    "hex digit pair (one byte) or a blank, for example\n"
    "\n"
    "    # Tavro infrared code, 12 bytes\n"
    "    00 03 10 11 12 13 14 15 16 17 18 19\n"
    "\n"
    "A code has 2 to 510 bytes, an even number (the receiver counts 16-bit\n"
    "words); the first two bytes of a learned code are the channel it came on.\n";

namespace {

int Learn(SharedDeviceState* r, const std::string& out, long timeoutSeconds) {
    IrCodeFileWriter writer;
    if (out != "-" && Report(writer.Open(out)) != kExitOk) return kExitFailure;

    bool terminal = isatty(STDERR_FILENO) == 1;
    const char* prompt = "waiting for an infrared code: point the remote control at the receiver and press its key";
    bool prompted = false;
    std::vector<uint8_t> code;
    Outcome learned = LearnIrCode(r, std::chrono::seconds(timeoutSeconds), [&](long secondsLeft) {
        if (terminal) {
            std::fprintf(stderr, "\r%s ... %ld s \033[K", prompt, secondsLeft);
            std::fflush(stderr);
        } else if (!prompted) {
            std::fprintf(stderr, "%s (up to %ld s)\n", prompt, timeoutSeconds);
        }
        prompted = true;
        return true;
    }, &code);
    if (terminal && prompted) std::fputs("\r\033[K", stderr);
    if (!learned.ok()) return Report(learned);

    if (out == "-") {
        std::fputs(FormatIrCode(code).c_str(), stdout);
        std::fprintf(stderr, "learned a code of %zu bytes\n", code.size());
        return kExitOk;
    }
    if (Report(writer.Commit(code)) != kExitOk) return kExitFailure;
    std::printf("learned a code of %zu bytes, saved in %s\n", code.size(), out.c_str());
    return kExitOk;
}

int Send(const std::string& path) {
    std::vector<uint8_t> code;
    int status = Report(ReadIrCodeFile(path, &code));
    if (status != kExitOk) return status;
    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    status = Report(SendIrCode(r, code));
    if (status == kExitOk) std::printf("sent a code of %zu bytes\n", code.size());
    return status;
}

}  // namespace

int RunIr(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {"out", "name", "timeout"}, {})) return kExitUsage;
    const std::vector<std::string>& words = line.Positional();
    const std::string action = words.empty() ? "" : words[0];
    if (action == "learn") {
        if (words.size() != 1) return Fail(kExitUsage, "usage: tavro ir learn --out FILE|--name NAME [--timeout S]");
        const bool named = line.Has("name") && !line.Option("name").empty();
        if (named == (line.Has("out") && !line.Option("out").empty()))
            return Fail(kExitUsage, "ir learn needs --out FILE (\"-\" for standard output) or --name NAME");
        if (named && Report(CheckIrCodeName(line.Option("name"))) != kExitOk) return kExitUsage;
        long timeout = 30;
        if (line.Has("timeout") && !line.IntOption("timeout", 1, 3600, &timeout)) return kExitUsage;
        const std::string out = named ? SavedIrCodePath(line.Option("name")) : line.Option("out");
        if (named) {
            std::string error;
            if (!MakeDirectoryFor(out, &error)) return Fail(kExitFailure, "%s", error.c_str());
        }
        SharedDeviceState* r = AttachKit();
        if (r == nullptr) return kExitFailure;
        return Learn(r, out, timeout);
    }
    if (line.Has("out") || line.Has("name") || line.Has("timeout"))
        return Fail(kExitUsage, "--out, --name and --timeout belong to ir learn");
    if (action == "send") {
        if (words.size() != 2) return Fail(kExitUsage, "usage: tavro ir send FILE|NAME");
        // A bare name is a code saved with --name, when there is one.
        const std::string saved = SavedIrCodePath(words[1]);
        return Send(words[1].find('/') == std::string::npos && access(saved.c_str(), F_OK) == 0 ? saved : words[1]);
    }
    if (action == "blast") {
        if (words.size() != 1) return Fail(kExitUsage, "usage: tavro ir blast");
        SharedDeviceState* r = AttachKit();
        if (r == nullptr) return kExitFailure;
        int status = Report(SendIrBlast(r));
        if (status == kExitOk) std::puts("blast sent");
        return status;
    }
    return Fail(kExitUsage, "usage: tavro ir learn|send|blast (see tavro ir --help)");
}

}  // namespace tavro::cli
