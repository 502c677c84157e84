// tavro-sim: a Tavro receiver on a pseudo-terminal.
//
// It opens a pseudo-terminal, prints the path of its slave end on the first
// line of standard output and then behaves as a receiver on it: it streams
// tracking packets of one to four handsets following a motion pattern or
// script, answers the kit's commands and logs each command it received.  It
// can also replay a recorded byte stream and record what it sends.  The kit
// may close and reopen the slave at any time.
#include "Motion.h"
#include "Receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef TAVRO_VERSION
#define TAVRO_VERSION "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using sim::Bytes;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

constexpr size_t kTrackingBacklog = 2048;  // queued bytes past which tracking packets are dropped
constexpr double kIncompleteCommandSeconds = 0.2;

const char kUsage[] =
    "Usage: tavro-sim [options]\n"
    "A Tavro receiver on a pseudo-terminal.  Prints the slave path on the first\n"
    "line of standard output, then streams tracking packets and answers commands\n"
    "until SIGINT or SIGTERM.\n"
    "\n"
    "  --handsets N        handsets in the built-in pattern, 1-4 (default 1)\n"
    "  --pattern NAME      still, circle (default), sweep or keys\n"
    "  --script FILE       motion script instead of a pattern (format below)\n"
    "  --rate HZ           tracking packets per second per handset (default 60;\n"
    "                      0 sends none); a script's \"rate\" line overrides it\n"
    "  --d0 VALUE          distance constant used to place the spots (default 70)\n"
    "  --replay FILE       send a recorded byte stream instead of tracking\n"
    "  --replay-rate N     packets per second while replaying (default 200, 0: at once)\n"
    "  --loop              repeat the script or the replay forever\n"
    "  --exit-when-done    exit once the script or replay has been sent and read\n"
    "  --record FILE       write every byte sent to the kit into FILE\n"
    "  --command-log FILE  log received commands to FILE (default: standard error)\n"
    "  --learn-delay MS    time from a learn request to the IR code (default 500)\n"
    "  --link PATH         also make PATH a symbolic link to the slave, as a\n"
    "                      stable name for the receiver (refused when PATH\n"
    "                      exists: another simulator may be using it); removed\n"
    "                      at exit\n"
    "  --help              this text\n"
    "  --version           the kit's version\n"
    "\n"
    "Command log: one line per command, \"rx <hex bytes>  <name> [value]\".\n"
    "\n"
    "Motion script, one item per line, '#' starts a comment:\n"
    "  rate HZ                         tracking packets per second per handset\n"
    "  at T H [x=PX] [y=PX] [roll=DEG] [distance=D] [keys=K1,K2] [power=P]\n"
    "                                  handset H (0-3) at T seconds: aim in camera\n"
    "                                  pixels (centre 176,144), roll in degrees,\n"
    "                                  distance, held keys (centre up down left\n"
    "                                  right up-left up-right down-left down-right\n"
    "                                  menu b10 b11 b12, or none; the compass names\n"
    "                                  center north south east west nw ne sw se\n"
    "                                  are accepted too);\n"
    "                                  aim, roll and distance move linearly to the\n"
    "                                  next keyframe, keys change at keyframes\n"
    "  packet T TYPE HEX               send a packet of TYPE with that payload\n"
    "  raw T HEX                       send bytes as they are\n"
    "  end T                           the script ends (or repeats) at T seconds\n";

struct Options {
    int handsets = 1;
    std::string pattern = "circle";
    std::string script;
    double rate = 60.0;
    bool rateGiven = false;
    double d0 = 70.0;
    std::string replay;
    double replayRate = 200.0;
    bool loop = false;
    bool exitWhenDone = false;
    std::string record;
    std::string commandLog;
    double learnDelayMs = 500.0;
    std::string link;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        size_t equals = arg.find('=');
        bool inlineValue = arg.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        auto next = [&](std::string* out) {
            if (inlineValue) {
                *out = value;
                return true;
            }
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tavro-sim: %s needs a value\n", arg.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto number = [&](double* out) {
            std::string text;
            if (!next(&text)) return false;
            char* end = nullptr;
            // Blanks before or after the number are refused alike.
            bool blank = !text.empty() && (std::isspace(static_cast<unsigned char>(text.front())) ||
                                           std::isspace(static_cast<unsigned char>(text.back())));
            *out = blank ? -1.0 : std::strtod(text.c_str(), &end);
            if (text.empty() || blank || *end != '\0' || !(*out >= 0) || std::isinf(*out)) {
                std::fprintf(stderr, "tavro-sim: %s takes a number >= 0, not \"%s\"\n", arg.c_str(),
                             text.c_str());
                return false;
            }
            return true;
        };
        double n = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("tavro-sim %s\n", TAVRO_VERSION);
            std::exit(0);
        } else if (arg == "--handsets") {
            if (!number(&n)) return false;
            if (n != 1 && n != 2 && n != 3 && n != 4) {
                std::fprintf(stderr, "tavro-sim: --handsets takes 1, 2, 3 or 4, not %g\n", n);
                return false;
            }
            options->handsets = static_cast<int>(n);
        } else if (arg == "--pattern") {
            if (!next(&options->pattern)) return false;
        } else if (arg == "--script") {
            if (!next(&options->script)) return false;
        } else if (arg == "--rate") {
            if (!number(&options->rate)) return false;
            options->rateGiven = true;
        } else if (arg == "--d0") {
            if (!number(&options->d0)) return false;
            if (options->d0 <= 0) {
                std::fprintf(stderr, "tavro-sim: --d0 takes a number > 0\n");
                return false;
            }
        } else if (arg == "--replay") {
            if (!next(&options->replay)) return false;
        } else if (arg == "--replay-rate") {
            if (!number(&options->replayRate)) return false;
        } else if (arg == "--loop") {
            options->loop = true;
        } else if (arg == "--exit-when-done") {
            options->exitWhenDone = true;
        } else if (arg == "--record") {
            if (!next(&options->record)) return false;
        } else if (arg == "--command-log") {
            if (!next(&options->commandLog)) return false;
        } else if (arg == "--learn-delay") {
            if (!number(&options->learnDelayMs)) return false;
        } else if (arg == "--link") {
            if (!next(&options->link)) return false;
        } else {
            std::fprintf(stderr, "tavro-sim: unknown option %s (see --help)\n", arg.c_str());
            return false;
        }
    }
    return true;
}

// Splits a recorded stream into what is sent at one time: each well-formed
// packet on its own, and each run of bytes between packets as one piece.
std::vector<Bytes> SplitStream(const Bytes& stream) {
    std::vector<Bytes> pieces;
    Bytes garbage;
    size_t i = 0;
    while (i < stream.size()) {
        if (i + 4 <= stream.size() && stream[i] == 0x51 && stream[i + 1] == 0x56 && stream[i + 2] <= 62) {
            size_t length = stream[i + 2] == 9 ? 2u * stream[i + 3] : stream[i + 3];
            if (i + 4 + length <= stream.size()) {
                if (!garbage.empty()) pieces.push_back(std::move(garbage));
                garbage.clear();
                pieces.emplace_back(stream.begin() + static_cast<long>(i),
                                    stream.begin() + static_cast<long>(i + 4 + length));
                i += 4 + length;
                continue;
            }
        }
        garbage.push_back(stream[i++]);
    }
    if (!garbage.empty()) pieces.push_back(std::move(garbage));
    return pieces;
}

// The master side of the pseudo-terminal and what is waiting to go out.
class Line {
public:
    bool Open(std::string* slavePath) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
        const char* name = ptsname(master_);
        if (name == nullptr) return false;
        *slavePath = name;
        // Holding a slave descriptor keeps the line up while the kit closes and
        // reopens its side; raw mode passes bytes unchanged until the kit
        // configures the tty itself.
        keeper_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (keeper_ < 0) return false;
        termios attributes{};
        if (tcgetattr(keeper_, &attributes) == 0) {
            cfmakeraw(&attributes);
            tcsetattr(keeper_, TCSANOW, &attributes);
        }
        return true;
    }
    ~Line() {
        if (record_ != nullptr) std::fclose(record_);
        if (keeper_ >= 0) close(keeper_);
        if (master_ >= 0) close(master_);
    }
    bool Record(const std::string& path) {
        record_ = std::fopen(path.c_str(), "wb");
        return record_ != nullptr;
    }
    int fd() const { return master_; }

    // Queues bytes; a droppable piece is left out while the kit is behind.
    void Send(const Bytes& bytes, bool droppable) {
        if (droppable && queue_.size() > kTrackingBacklog) return;
        queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    }
    bool HasOutput() const { return !queue_.empty(); }
    // Bytes sent that the kit has not read yet.
    int Unread() const {
        int count = 0;
        return ioctl(keeper_, FIONREAD, &count) == 0 ? count : 0;
    }

    void Flush() {
        while (!queue_.empty()) {
            size_t size = std::min<size_t>(queue_.size(), 4096);
            Bytes chunk(queue_.begin(), queue_.begin() + static_cast<long>(size));
            ssize_t n = write(master_, chunk.data(), chunk.size());
            if (n <= 0) return;  // the line is full (the kit is not reading): later
            if (record_ != nullptr) {
                std::fwrite(chunk.data(), 1, static_cast<size_t>(n), record_);
                std::fflush(record_);
            }
            queue_.erase(queue_.begin(), queue_.begin() + n);
        }
    }

private:
    int master_ = -1;
    int keeper_ = -1;
    std::FILE* record_ = nullptr;
    std::deque<uint8_t> queue_;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// An input file must be a readable file, not a directory (reading a
// directory through a stream ends in an exception, not a message).
bool ReadableFile(const std::string& path, std::string* why) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || access(path.c_str(), R_OK) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        *why = "it is a directory";
        return false;
    }
    return true;
}

// Makes the link to the slave.  An existing path is never replaced: it may
// be another simulator's link that its kit is using.
bool MakeLink(const std::string& link, const std::string& slave) {
    struct stat existing {};
    if (lstat(link.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            std::fprintf(stderr, "tavro-sim: %s exists and is not a symbolic link; choose another --link\n",
                         link.c_str());
            return false;
        }
        char target[256] = {};
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        struct stat pointed {};
        if (n > 0 && stat(link.c_str(), &pointed) == 0)
            std::fprintf(stderr,
                         "tavro-sim: %s already links to %s (another simulator's receiver?); "
                         "stop that simulator or choose another --link\n",
                         link.c_str(), target);
        else
            std::fprintf(stderr,
                         "tavro-sim: %s is a stale link to %s (left by a simulator that ended); "
                         "remove it (rm %s) or choose another --link\n",
                         link.c_str(), n > 0 ? target : "?", link.c_str());
        return false;
    }
    if (symlink(slave.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "tavro-sim: cannot create %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return 2;

    sim::Motion motion;
    Bytes replay;
    for (const std::string* input : {&options.replay, &options.script}) {
        std::string why;
        if (!input->empty() && !ReadableFile(*input, &why)) {
            std::fprintf(stderr, "tavro-sim: cannot read %s: %s\n", input->c_str(), why.c_str());
            return 1;
        }
    }
    if (!options.replay.empty()) {
        std::ifstream in(options.replay, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "tavro-sim: cannot read %s: %s\n", options.replay.c_str(), std::strerror(errno));
            return 1;
        }
        replay.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else if (!options.script.empty()) {
        std::string error;
        if (!motion.LoadScript(options.script, &error)) {
            std::fprintf(stderr, "tavro-sim: %s\n", error.c_str());
            return 1;
        }
        if (motion.rate() > 0 && !options.rateGiven) options.rate = motion.rate();
    } else if (!motion.UsePattern(options.pattern, options.handsets)) {
        std::fprintf(stderr, "tavro-sim: unknown pattern %s (still, circle, sweep, keys)\n",
                     options.pattern.c_str());
        return 2;
    }

    std::FILE* commandLog = stderr;
    if (!options.commandLog.empty()) {
        commandLog = std::fopen(options.commandLog.c_str(), "a");
        if (commandLog == nullptr) {
            std::fprintf(stderr, "tavro-sim: cannot write %s: %s\n", options.commandLog.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    Line line;
    std::string slavePath;
    if (!line.Open(&slavePath)) {
        std::fprintf(stderr, "tavro-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (!options.record.empty() && !line.Record(options.record)) {
        std::fprintf(stderr, "tavro-sim: cannot write %s: %s\n", options.record.c_str(), std::strerror(errno));
        return 1;
    }
    if (!options.link.empty() && !MakeLink(options.link, slavePath)) return 1;

    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);

    sim::Receiver receiver(options.learnDelayMs / 1000.0);
    const std::vector<Bytes> pieces = SplitStream(replay);
    const bool replaying = !options.replay.empty();

    const Clock::time_point start = Clock::now();
    Clock::time_point cycleStart = start;
    Clock::time_point nextTrack = start;
    Clock::time_point nextPiece = start;
    Clock::time_point lastCommandBytes = start;
    size_t nextEvent = 0, nextPieceIndex = 0;
    bool done = false;
    Clock::time_point doneAt{};
    std::vector<std::pair<Clock::time_point, Bytes>> dueReplies;

    while (!g_stop) {
        const Clock::time_point now = Clock::now();

        if (replaying) {
            double interval = options.replayRate > 0 ? 1.0 / options.replayRate : 0.0;
            while (!done && now >= nextPiece) {
                if (nextPieceIndex >= pieces.size()) {
                    if (options.loop && !pieces.empty()) nextPieceIndex = 0;
                    else {
                        done = true;
                        break;
                    }
                }
                line.Send(pieces[nextPieceIndex++], false);
                nextPiece += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval));
                if (interval == 0.0) nextPiece = now;
            }
        } else {
            double elapsed = Seconds(now - cycleStart);
            if (motion.duration() > 0 && elapsed >= motion.duration() && !done) {
                // Events not yet sent belong to this cycle still.
                while (nextEvent < motion.events().size()) line.Send(motion.events()[nextEvent++].bytes, false);
                if (options.loop) {
                    cycleStart += std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(motion.duration()));
                    nextEvent = 0;
                    elapsed = Seconds(now - cycleStart);
                } else {
                    done = true;
                }
            }
            if (!done) {
                while (nextEvent < motion.events().size() && motion.events()[nextEvent].time <= elapsed)
                    line.Send(motion.events()[nextEvent++].bytes, false);
                if (options.rate > 0 && now >= nextTrack) {
                    for (int handset = 0; handset < sim::kHandsets; ++handset) {
                        sim::Pose pose;
                        if (motion.PoseAt(handset, elapsed, &pose))
                            line.Send(sim::Frame(1, sim::TrackingPayload(handset, pose, options.d0)), true);
                    }
                    nextTrack += std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(1.0 / options.rate));
                    if (now - nextTrack > std::chrono::seconds(1)) nextTrack = now;  // fell far behind
                }
            }
        }

        for (auto it = dueReplies.begin(); it != dueReplies.end();) {
            if (now >= it->first) {
                line.Send(it->second, false);
                it = dueReplies.erase(it);
            } else {
                ++it;
            }
        }
        line.Flush();

        // Exit once everything is out and read (closing the master would
        // throw away what the kit has not read), or 5 s after the end.
        if (done && options.exitWhenDone && !line.HasOutput() && dueReplies.empty()) {
            if (doneAt == Clock::time_point{}) doneAt = now;
            // The line shows written bytes a moment later, hence the settling time.
            bool settled = now - doneAt > std::chrono::milliseconds(100);
            if ((settled && line.Unread() == 0) || now - doneAt > std::chrono::seconds(5)) break;
        }

        // Sleep until the next thing to send, a command byte or 50 ms.
        Clock::time_point wake = now + std::chrono::milliseconds(50);
        if (!replaying && !done && options.rate > 0) wake = std::min(wake, nextTrack);
        if (replaying && !done) wake = std::min(wake, nextPiece);
        if (!replaying && !done && nextEvent < motion.events().size())
            wake = std::min(wake, cycleStart + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(motion.events()[nextEvent].time)));
        for (const auto& reply : dueReplies) wake = std::min(wake, reply.first);
        int timeout = static_cast<int>(std::ceil(std::max(0.0, Seconds(wake - Clock::now())) * 1000.0));

        pollfd ready{line.fd(), static_cast<short>(POLLIN | (line.HasOutput() ? POLLOUT : 0)), 0};
        int polled = poll(&ready, 1, timeout);
        if (polled < 0) continue;  // a signal
        if (polled > 0 && (ready.revents & POLLIN)) {
            uint8_t buffer[1024];
            ssize_t n = read(line.fd(), buffer, sizeof buffer);
            if (n > 0) {
                lastCommandBytes = Clock::now();
                pollfd more{line.fd(), POLLIN, 0};
                bool burstEnd = poll(&more, 1, 0) == 0;
                std::vector<sim::Reply> replies;
                std::vector<std::string> log;
                receiver.Feed(buffer, static_cast<size_t>(n), burstEnd, &replies, &log);
                for (const auto& entry : log) std::fprintf(commandLog, "%s\n", entry.c_str());
                std::fflush(commandLog);
                for (auto& reply : replies)
                    dueReplies.emplace_back(
                        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(reply.delay)),
                        std::move(reply.bytes));
            }
        } else if (polled > 0 && (ready.revents & (POLLHUP | POLLERR)) && !(ready.revents & POLLOUT)) {
            poll(nullptr, 0, 50);  // no slave side open: nothing to do but wait
        }
        if (receiver.HasIncomplete() && Seconds(Clock::now() - lastCommandBytes) > kIncompleteCommandSeconds) {
            std::vector<std::string> log;
            receiver.DropIncomplete(&log);
            for (const auto& entry : log) std::fprintf(commandLog, "%s\n", entry.c_str());
            std::fflush(commandLog);
        }
    }

    if (!options.link.empty()) {
        char target[256] = {};
        ssize_t n = readlink(options.link.c_str(), target, sizeof target - 1);
        if (n > 0 && slavePath == std::string(target, static_cast<size_t>(n))) unlink(options.link.c_str());
    }
    if (commandLog != stderr) std::fclose(commandLog);
    return 0;
}
