// tavro raw: the packets the kit receives, as the record shows them.
#include "Commands.h"
#include "Kit.h"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace tavro::cli {

const char kRawHelp[] =
    "Usage: tavro raw [--count N] [--timeout S] [--user N]\n"
    "\n"
    "Prints each packet payload the kit receives, one line per packet:\n"
    "\n"
    "    SECONDS  LENGTH  KIND  DECODED VALUES  | HEX BYTES\n"
    "\n"
    "KIND is tracking (handset, held keys, the two light spots in camera pixels\n"
    "with their powers), info, ir-code, error, mic (16 samples), image or other.\n"
    "\n"
    "Held keys are named centre, up, down, left, right, up-left, up-right,\n"
    "down-left, down-right and menu (the menu key does nothing in the kit).\n"
    "\n"
    "The view samples: the kit keeps only the newest payload, and this command\n"
    "looks at it every millisecond.  Packets of several handsets arrive\n"
    "together, so a handset whose payload was replaced before the view looked\n"
    "is shown from what the kit computed of it (\"from the record\": held keys,\n"
    "aim in camera pixels, spot powers), with the number of its packets when\n"
    "the daemon counts them.  The packet type itself is not kept, so KIND is\n"
    "worked out from the fields the packet changed and from its shape.\n"
    "\n"
    "  --count N    stop after N lines\n"
    "  --timeout S  give up (exit status 3) when no packet comes for S seconds,\n"
    "               saying why; without it, waits until interrupted\n"
    "  --user N     only the tracking packets of handset N (0-3)\n";

namespace {

struct Snapshot {
    std::vector<uint8_t> payload;
    int32_t lastError = 0;
    int32_t soundCount = 0;
};

// The newest payload.  The daemon's reader rewrites it in place (clears it,
// then copies the next payload in), so a read is only taken when a second
// read a moment later agrees: two reads back to back could both fall between
// the clearing and the copy.
bool ReadPayload(const SharedDeviceState* r, std::vector<uint8_t>* payload) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int32_t length = tavro::LoadField(r->RawDataLength);
        if (length < 0 || length > static_cast<int32_t>(sizeof r->RawData)) continue;
        std::vector<uint8_t> first(static_cast<size_t>(length));
        tavro::LoadBytes(r->RawData, first.data(), first.size());
        timespec moment{0, 200 * 1000};
        nanosleep(&moment, nullptr);
        std::atomic_thread_fence(std::memory_order_acquire);
        std::vector<uint8_t> second(static_cast<size_t>(length));
        tavro::LoadBytes(r->RawData, second.data(), second.size());
        if (first == second && tavro::LoadField(r->RawDataLength) == length) {
            *payload = std::move(first);
            return true;
        }
    }
    return false;
}

unsigned Word(const std::vector<uint8_t>& p, size_t at) { return (p[at] << 8) | p[at + 1]; }

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char item[4];
    for (uint8_t b : bytes) {
        std::snprintf(item, sizeof item, "%02x", b);
        if (!text.empty()) text += ' ';
        text += item;
    }
    return text;
}

bool Matches(const uint8_t* field, size_t fieldSize, int32_t recordedLength,
             const std::vector<uint8_t>& payload) {
    // An empty payload has no data pointer to compare: it matches an empty field.
    return recordedLength == static_cast<int32_t>(payload.size()) && payload.size() <= fieldSize &&
           (payload.empty() || std::memcmp(field, payload.data(), payload.size()) == 0);
}

// Kind and decoded values of a payload, from what it changed in the record
// and from its shape.
std::string Decode(const SharedDeviceState* r, const Snapshot& now, const Snapshot& before) {
    const std::vector<uint8_t>& p = now.payload;
    char text[512];
    if (!p.empty() && now.lastError != before.lastError && now.lastError == p[0]) {
        std::snprintf(text, sizeof text, "error     code=%u", p[0]);
        return text;
    }
    uint8_t code[sizeof r->IRCode], info[sizeof r->InfoBuffer];
    tavro::LoadBytes(r->IRCode, code, sizeof code);
    tavro::LoadBytes(r->InfoBuffer, info, sizeof info);
    if (p.size() >= 2 && Matches(code, sizeof code, tavro::LoadField(r->IRCodeLength), p)) {
        std::snprintf(text, sizeof text, "ir-code   channel=%u bytes=%zu", Word(p, 0), p.size());
        return text;
    }
    if (Matches(info, sizeof info, tavro::LoadField(r->InfoLength), p)) {
        std::string shown;
        for (uint8_t c : p) shown += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
        return "info      \"" + shown + "\"";
    }
    if (p.size() == TAVRO_MIC_BLOCK_SIZE && now.soundCount != before.soundCount) {
        std::string samples = "mic      ";
        for (int g = 0; g < 4; ++g)
            for (int k = 0; k < 4; ++k) {
                int upper = static_cast<int8_t>(p[5 * g + k]);
                int sample = upper * 4 + ((p[5 * g + 4] >> (2 * k)) & 3);
                samples += " " + std::to_string(sample);
            }
        return samples;
    }
    if (p.size() >= 6 && static_cast<int32_t>(Word(p, 0)) == tavro::LoadField(r->ImageWidth) &&
        static_cast<int32_t>(Word(p, 2)) == tavro::LoadField(r->ImageHeight) && tavro::LoadField(r->ImageLength) > 0) {
        std::snprintf(text, sizeof text, "image     first=%u second=%u bytes=%u", Word(p, 0),
                      Word(p, 2), Word(p, 4));
        return text;
    }
    // A tracking payload: button word and two spots of (x, y, power), in
    // hundredths of a camera pixel; the kit drops spots out of range.
    if (p.size() >= 14 && p[2] <= 152 && p[4] <= 152 && p[8] <= 152 && p[10] <= 152 &&
        p[6] != 255 && p[12] != 255) {
        unsigned buttons = Word(p, 0);
        std::snprintf(text, sizeof text,
                      "tracking  handset=%u held=%s A=(%.2f,%.2f,%u) B=(%.2f,%.2f,%u)",
                      (buttons >> 13) & 3, HeldKeys(static_cast<int>(buttons)).c_str(),
                      Word(p, 2) / 100.0, Word(p, 4) / 100.0, Word(p, 6), Word(p, 8) / 100.0,
                      Word(p, 10) / 100.0, Word(p, 12));
        return text;
    }
    return "other";
}

Snapshot Take(const SharedDeviceState* r, const Snapshot& previous) {
    Snapshot now;
    if (!ReadPayload(r, &now.payload)) now.payload = previous.payload;
    now.lastError = tavro::LoadField(r->LastError);
    now.soundCount = tavro::LoadField(r->SoundCount);
    return now;
}

// The handset a tracking line is about, or -1.
int TrackingHandset(const std::string& decoded, const std::vector<uint8_t>& payload) {
    if (decoded.rfind("tracking", 0) != 0 || payload.size() < 2) return -1;
    return (payload[0] >> 5) & 3;
}

// What the record holds for one handset after its last packet.
std::string HandsetValues(const SharedDeviceState* r, int user) {
    char text[256];
    std::snprintf(text, sizeof text, "held=%s raw=(%.2f,%.2f) power=(%d,%d)",
                  HeldKeys(tavro::LoadField(r->Buttons[user])).c_str(), tavro::LoadField(r->RawX[user]), tavro::LoadField(r->RawY[user]),
                  static_cast<int>(tavro::LoadField(r->Power1[user])), static_cast<int>(tavro::LoadField(r->Power2[user])));
    return text;
}

}  // namespace

int RunRaw(const Args& args) {
    CommandLine line;
    if (!line.Parse(args, {"count", "timeout", "user"}, {})) return kExitUsage;
    if (!line.Positional().empty())
        return Fail(kExitUsage, "raw takes options only, not \"%s\"", line.Positional()[0].c_str());
    long count = 0, timeout = 0, onlyUser = -1;
    if (line.Has("count") && !line.IntOption("count", 1, 1000000000, &count)) return kExitUsage;
    if (line.Has("timeout") && !line.IntOption("timeout", 1, 86400, &timeout)) return kExitUsage;
    if (line.Has("user") && !line.IntOption("user", 0, TAVRO_HANDSETS - 1, &onlyUser)) return kExitUsage;

    SharedDeviceState* r = AttachKit();
    if (r == nullptr) return kExitFailure;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point lastPacket = start;
    bool noted = false;
    long shown = 0;
    // What the record holds now arrived before we looked: it is the baseline.
    Snapshot before = Take(r, Snapshot{});
    // Per handset: the daemon's packet count and the record's values when a
    // line was last shown.  The record keeps one payload only, and the
    // packets of several handsets come in one burst, so the newest payload
    // alone would show the last handset of each burst and hide the others.
    DaemonView daemon = ReadDaemonView();
    uint64_t counted[TAVRO_HANDSETS];
    std::string values[TAVRO_HANDSETS];
    for (int u = 0; u < TAVRO_HANDSETS; ++u) {
        counted[u] = daemon.perHandset[u];
        values[u] = HandsetValues(r, u);
    }
    uint64_t packetsSeen = daemon.packets;
    auto print = [&](double seconds, const std::string& text) {
        std::printf("%9.3f %s\n", seconds, text.c_str());
        std::fflush(stdout);
        ++shown;
    };
    while (!g_interrupted && (count == 0 || shown < count)) {
        Snapshot now = Take(r, before);
        daemon = ReadDaemonView();
        Clock::time_point time = Clock::now();
        double seconds = std::chrono::duration<double>(time - start).count();
        bool fresh = false;
        // The newest payload's handset is shown from the payload itself.
        int payloadHandset = TrackingHandset(Decode(r, now, before), now.payload);
        if (now.payload != before.payload) {
            std::string decoded = Decode(r, now, before);
            int handset = TrackingHandset(decoded, now.payload);
            char head[32];
            std::snprintf(head, sizeof head, "%4zu  ", now.payload.size());
            if (onlyUser < 0 || handset == onlyUser)
                print(seconds, head + decoded + "  | " + Hex(now.payload));
            if (handset >= 0) {
                counted[handset] = daemon.perHandset[handset];
                values[handset] = HandsetValues(r, handset);
            }
            fresh = true;
        }
        // Handsets whose packets came between two looks: from their counts
        // when the daemon keeps them, else from their changed values.
        for (int u = 0; u < TAVRO_HANDSETS && (count == 0 || shown < count); ++u) {
            if (tavro::LoadField(r->HistoryCount[u]) <= 0) continue;
            std::string current = HandsetValues(r, u);
            // A handset held still is shown once, as its payload would be.
            bool changed = u != payloadHandset && current != values[u];
            if (!changed) {
                if (u == payloadHandset) values[u] = current;
                continue;
            }
            bool counts = daemon.perHandset[u] > counted[u];
            std::string text = "  14  tracking  handset=" + std::to_string(u) + " " + current;
            if (counts && daemon.perHandset[u] - counted[u] > 1)
                text += "  (" + std::to_string(daemon.perHandset[u] - counted[u]) + " packets)";
            text += "  | from the record";
            if (onlyUser < 0 || u == onlyUser) print(seconds, text);
            counted[u] = daemon.perHandset[u];
            values[u] = current;
            fresh = true;
        }
        if (daemon.packets != packetsSeen) {
            packetsSeen = daemon.packets;
            fresh = true;
        }
        if (fresh) {
            lastPacket = time;
        } else if (timeout > 0 && time - lastPacket >= std::chrono::seconds(timeout)) {
            std::string problem = DeviceProblem(daemon);
            if (problem.empty()) problem = "is a handset switched on?";
            return Fail(kExitNoAnswer, "no packet from the receiver for %ld s: %s", timeout, problem.c_str());
        } else if (!noted && shown == 0 && time - lastPacket >= std::chrono::seconds(2)) {
            std::string problem = DeviceProblem(daemon);
            if (problem.empty()) problem = "is a handset switched on?";
            std::fprintf(stderr, "%s: no packets so far: %s\n", ProgramName(), problem.c_str());
            noted = true;
        }
        before = std::move(now);
        timespec pause{0, 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return kExitOk;
}

}  // namespace tavro::cli
