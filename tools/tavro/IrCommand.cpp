// tavro ir learn / send / blast: infrared codes through the receiver.
#include "Commands.h"
#include "IrCodeFile.h"
#include "Kit.h"
#include "tavrodev.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace tavro::cli {

const char kIrHelp[] =
    "Usage: tavro ir learn --out FILE [--timeout S]\n"
    "       tavro ir send FILE\n"
    "       tavro ir blast\n"
    "\n"
    "learn  puts the receiver into learning mode and waits (showing the time\n"
    "       left) until it has read a code from a remote control pointed at it,\n"
    "       then saves the code in FILE (\"-\": standard output).  --timeout is\n"
    "       the longest wait in seconds (default 30).\n"
    "send   sends the code in FILE (\"-\": standard input) out of the receiver.\n"
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
    int32_t errorBefore = Peek(r->LastError);
    TV_LearnCode();
    if (!WaitServed(r->LearnCodeRequest)) return NotServed("learn");

    bool terminal = isatty(STDERR_FILENO) == 1;
    const char* prompt = "waiting for an infrared code: point the remote control at the receiver and press its key";
    if (!terminal) std::fprintf(stderr, "%s (up to %ld s)\n", prompt, timeoutSeconds);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    // Until the code comes, or an error packet of a receiver that cannot learn.
    bool ended = false;
    while (!ended && !g_interrupted) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (terminal) {
            std::fprintf(stderr, "\r%s ... %lld s \033[K", prompt,
                         static_cast<long long>((left.count() + 999) / 1000));
            std::fflush(stderr);
        }
        ended = WaitUntil(
            [&] { return TV_GetIRActive() == 0 || Peek(r->LastError) != errorBefore; },
            std::min(left, std::chrono::milliseconds(250)));
    }
    if (terminal) std::fputs("\r\033[K", stderr);
    if (g_interrupted) return Fail(kExitFailure, "interrupted while learning");
    if (TV_GetIRActive() != 0) {
        if (Peek(r->LastError) != errorBefore)
            return Fail(kExitFailure, "learning failed: the receiver reported error %d",
                        static_cast<int>(Peek(r->LastError)));
        return Fail(kExitNoAnswer, "no infrared code received within %ld s", timeoutSeconds);
    }

    // The learn reply has stored the code; ask for it the API's way, which
    // also returns it when the receiver does not repeat it.
    unsigned char buffer[512] = {};
    int length = 0;
    TV_GetIRCode(buffer, &length);
    if (length <= 0 || length > static_cast<int>(kMaxIrCodeBytes))
        return Fail(kExitFailure, "the receiver returned no usable code (length %d)", length);
    std::vector<uint8_t> code(buffer, buffer + length);
    std::string text = FormatIrCode(code);

    if (out == "-") {
        std::fputs(text.c_str(), stdout);
        std::fprintf(stderr, "learned a code of %d bytes\n", length);
        return kExitOk;
    }
    // A new file next to the target, renamed over it once complete.
    std::string temporary = out + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            std::remove(temporary.c_str());
            return Fail(kExitFailure, "cannot write %s: %s", out.c_str(), std::strerror(errno));
        }
    }
    if (std::rename(temporary.c_str(), out.c_str()) != 0) {
        int error = errno;
        std::remove(temporary.c_str());
        return Fail(kExitFailure, "cannot write %s: %s", out.c_str(), std::strerror(error));
    }
    std::printf("learned a code of %d bytes, saved in %s\n", length, out.c_str());
    return kExitOk;
}

bool ReadAll(const std::string& path, std::string* text) {
    if (path == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        *text = all.str();
        return true;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    text->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

int Send(const std::string& path) {
    std::string text, error;
    if (!ReadAll(path, &text)) return Fail(kExitFailure, "cannot read %s: %s", path.c_str(), std::strerror(errno));
    std::vector<uint8_t> code;
    if (!ParseIrCode(text, &code, &error))
        return Fail(kExitUsage, "%s is not an infrared code file: %s", path.c_str(), error.c_str());

    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    int32_t errorBefore = Peek(r->LastError);
    if (TV_SendIRCode(code.data(), static_cast<int>(code.size())) != 1)
        return Fail(kExitFailure, "the kit refused a code of %zu bytes", code.size());
    int status = CompleteCommand(r, r->SendIRCodeRequest, errorBefore, "send code");
    if (status == kExitOk) std::printf("sent a code of %zu bytes\n", code.size());
    return status;
}

}  // namespace

int RunIr(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {"out", "timeout"}, {})) return kExitUsage;
    const std::vector<std::string>& words = line.Positional();
    const std::string action = words.empty() ? "" : words[0];
    if (action == "learn") {
        if (words.size() != 1) return Fail(kExitUsage, "usage: tavro ir learn --out FILE [--timeout S]");
        if (!line.Has("out") || line.Option("out").empty())
            return Fail(kExitUsage, "ir learn needs --out FILE (\"-\" for standard output)");
        long timeout = 30;
        if (line.Has("timeout") && !line.IntOption("timeout", 1, 3600, &timeout)) return kExitUsage;
        SharedDeviceState* r = AttachKit();
        if (r == nullptr) return kExitFailure;
        return Learn(r, line.Option("out"), timeout);
    }
    if (line.Has("out") || line.Has("timeout"))
        return Fail(kExitUsage, "--out and --timeout belong to ir learn");
    if (action == "send") {
        if (words.size() != 2) return Fail(kExitUsage, "usage: tavro ir send FILE");
        return Send(words[1]);
    }
    if (action == "blast") {
        if (words.size() != 1) return Fail(kExitUsage, "usage: tavro ir blast");
        SharedDeviceState* r = AttachKit();
        if (r == nullptr) return kExitFailure;
        int32_t errorBefore = Peek(r->LastError);
        TV_SendIRBlast();
        int status = CompleteCommand(r, r->IRBlastRequest, errorBefore, "blast");
        if (status == kExitOk) std::puts("blast sent");
        return status;
    }
    return Fail(kExitUsage, "usage: tavro ir learn|send|blast (see tavro ir --help)");
}

}  // namespace tavro::cli
