// tavro ir learn / send / blast: infrared codes through the receiver.
#include "Commands.h"
#include "ConfigFiles.h"
#include "IrCodeFile.h"
#include "Kit.h"
#include "tavrodev.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

// The output file is made (empty, under a temporary name beside it) before
// the user is asked to press the remote, so that a code is never learned
// only to be lost for want of a writable place.  Returns the open stream or
// null after a message.
std::FILE* OpenOutput(const std::string& out, std::string* temporary) {
    struct stat target {};
    if (stat(out.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
        Fail(kExitFailure, "cannot write %s: it is a directory; give a file name", out.c_str());
        return nullptr;
    }
    *temporary = out + ".tmp";
    std::FILE* file = std::fopen(temporary->c_str(), "wb");
    if (file == nullptr) {
        Fail(kExitFailure, "cannot write %s: %s", out.c_str(), std::strerror(errno));
        return nullptr;
    }
    return file;
}

int Learn(SharedDeviceState* r, const std::string& out, long timeoutSeconds) {
    std::string temporary;
    std::FILE* file = nullptr;
    if (out != "-" && (file = OpenOutput(out, &temporary)) == nullptr) return kExitFailure;
    // The temporary file goes again on every way out but success.
    struct Cleanup {
        std::FILE*& file;
        const std::string& path;
        ~Cleanup() {
            if (file != nullptr) {
                std::fclose(file);
                std::remove(path.c_str());
            }
        }
    } cleanup{file, temporary};

    int32_t errorBefore = tavro::LoadField(r->LastError);
    TV_LearnCode();
    if (!AwaitOrWithdraw(r, &SharedDeviceState::LearnCodeRequest)) return NotServed("learn");

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
            [&] { return TV_GetIRActive() == 0 || tavro::LoadField(r->LastError) != errorBefore; },
            std::min(left, std::chrono::milliseconds(250)));
    }
    if (terminal) std::fputs("\r\033[K", stderr);
    if (g_interrupted) return Fail(kExitFailure, "interrupted while learning");
    if (TV_GetIRActive() != 0) {
        if (tavro::LoadField(r->LastError) != errorBefore)
            return Fail(kExitFailure, "learning failed: the receiver reported error %d",
                        static_cast<int>(tavro::LoadField(r->LastError)));
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
    // The new file next to the target, renamed over it once complete.
    bool written = std::fputs(text.c_str(), file) >= 0;
    written = std::fclose(file) == 0 && written;
    file = nullptr;
    if (!written || std::rename(temporary.c_str(), out.c_str()) != 0) {
        int error = errno;
        std::remove(temporary.c_str());
        return Fail(kExitFailure, "cannot write %s: %s", out.c_str(), std::strerror(error));
    }
    std::printf("learned a code of %d bytes, saved in %s\n", length, out.c_str());
    return kExitOk;
}

// The whole file ("-": standard input).  False with the reason in *error.
bool ReadAll(const std::string& path, std::string* text, std::string* error) {
    int fd = STDIN_FILENO;
    if (path != "-") {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            *error = std::strerror(errno);
            return false;
        }
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
            close(fd);
            *error = "it is a directory, not an infrared code file";
            return false;
        }
    }
    text->clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::strerror(errno);
            if (fd != STDIN_FILENO) close(fd);
            return false;
        }
        if (n == 0) break;
        text->append(buffer, static_cast<size_t>(n));
        // A code file is small; anything this large is not one.
        if (text->size() > 1 << 20) {
            *error = "it is larger than 1 MiB, not an infrared code file";
            if (fd != STDIN_FILENO) close(fd);
            return false;
        }
    }
    if (fd != STDIN_FILENO) close(fd);
    return true;
}

int Send(const std::string& path) {
    std::string text, error;
    if (!ReadAll(path, &text, &error))
        return Fail(kExitFailure, "cannot read %s: %s", path.c_str(), error.c_str());
    std::vector<uint8_t> code;
    if (!ParseIrCode(text, &code, &error))
        return Fail(kExitUsage, "%s is not an infrared code file: %s", path.c_str(), error.c_str());

    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;
    int32_t errorBefore = tavro::LoadField(r->LastError);
    if (TV_SendIRCode(code.data(), static_cast<int>(code.size())) != 1)
        return Fail(kExitFailure, "the kit refused a code of %zu bytes", code.size());
    int status = CompleteCommand(r, &SharedDeviceState::SendIRCodeRequest, errorBefore, "send code");
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
        if (named && line.Option("name").find('/') != std::string::npos)
            return Fail(kExitUsage, "a code's name has no '/'; give a file with --out instead");
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
        int32_t errorBefore = tavro::LoadField(r->LastError);
        TV_SendIRBlast();
        int status = CompleteCommand(r, &SharedDeviceState::IRBlastRequest, errorBefore, "blast");
        if (status == kExitOk) std::puts("blast sent");
        return status;
    }
    return Fail(kExitUsage, "usage: tavro ir learn|send|blast (see tavro ir --help)");
}

}  // namespace tavro::cli
