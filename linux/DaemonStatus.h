// What the device daemon tells every other program about itself, beside the
// kit's shared record (whose layout other processes depend on and which
// therefore stays as it is): whether a daemon runs and which, whether its
// receiver is connected, how many packets it has decoded and when the last
// came, what its calculation workers skipped, which output it drives, and
// which settings file the record's values came from.
//
// It is a System V segment of its own, keyed one above the record's key, so
// that a private IPC namespace or a test's private record key isolates it
// along with the record.  Every field is a plain aligned store: readers may
// see a field mid-update, never a torn 32- or 64-bit word.
#ifndef TAVRO_DAEMON_STATUS_H
#define TAVRO_DAEMON_STATUS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavro {

constexpr uint32_t kDaemonStatusMagic = 0x53445654;  // "TVDS"
constexpr uint32_t kDaemonStatusVersion = 1;
// Seconds without a packet after which the receiver's values count as stale
// (tavro status, the Python package's snapshots).
constexpr int32_t kPacketsStaleAfterSeconds = 2;

struct DaemonStatus {
    uint32_t Magic;
    uint32_t Version;
    int32_t DaemonPid;          // 0 when no daemon runs (or it ended cleanly)
    int32_t ReceiverConnected;  // 1 while the receiver's tty is open and alive
    int64_t DaemonStartedUnixNs;
    char ReceiverPath[256];
    char Output[32];            // "x11", "uinput", "none"
    char Filter[32];            // the stabiliser in use
    uint64_t PacketsDecoded;     // tracking packets accepted, all handsets
    uint64_t PacketsPerHandset[4];
    int64_t LastPacketUnixNs;    // CLOCK_REALTIME of the newest packet, 0 = none yet
    uint64_t MotionSkipped;      // passes whose pointer motion a newer packet superseded
    uint64_t PassesDropped;      // packets whose computation was not run at all
    // Which settings file the record's values were last loaded from, by whom.
    char SettingsPath[512];
    int32_t SettingsLoadedByPid;
    int32_t SettingsFromDefaults;  // 1 when that load ran on the defaults (file missing, unreadable or broken)
    int64_t SettingsLoadedUnixNs;
    char SettingsLoadedBy[64];   // the loading program's name
    // The daemon's one line on its output: which one and why.
    char OutputReason[256];
    // The desktop's size that positions are mapped to, 0 before the output is chosen.
    int32_t ScreenWidth;
    int32_t ScreenHeight;
    // The key bindings' profile in use ("builtin": the kit's own keys), and
    // the one another program asks for: it writes the name, then raises the
    // serial number.
    char ActiveProfile[64];
    char ProfileWanted[64];
    uint32_t ProfileWantedSerial;
    uint32_t Padding;
    uint8_t Reserved[624];
};

// The layout is read by other programs (the Python package among them) by
// these offsets: new fields take bytes from Reserved, never move old ones.
static_assert(sizeof(DaemonStatus) == 2024, "DaemonStatus is 2024 bytes");
static_assert(offsetof(DaemonStatus, DaemonPid) == 8 && offsetof(DaemonStatus, ReceiverPath) == 24 &&
                  offsetof(DaemonStatus, PacketsDecoded) == 344 &&
                  offsetof(DaemonStatus, LastPacketUnixNs) == 384 &&
                  offsetof(DaemonStatus, SettingsPath) == 408 &&
                  offsetof(DaemonStatus, SettingsLoadedBy) == 936 &&
                  offsetof(DaemonStatus, OutputReason) == 1000 &&
                  offsetof(DaemonStatus, ScreenWidth) == 1256 &&
                  offsetof(DaemonStatus, ActiveProfile) == 1264 &&
                  offsetof(DaemonStatus, ProfileWantedSerial) == 1392,
              "DaemonStatus fields keep their offsets");

// The segment's key for a record key (the record's key plus one).
int DaemonStatusKey(int recordKey);

// Attaches the status segment of the record key, creating it (mode 0666,
// zeroed, magic and version set) when it does not exist.  Returns null with
// *error set to one line naming the cause and the fix when it cannot.
DaemonStatus* AttachDaemonStatus(int recordKey, std::string* error);

// Whether the daemon recorded in the status still runs.
bool DaemonAlive(const DaemonStatus& status);

// Nanoseconds since the epoch, for the *UnixNs fields.
int64_t UnixNowNs();

// Makes the calling process the one device daemon of the record key.  The
// claim is an exclusive flock(2) on a lock file only this user can open,
// $XDG_RUNTIME_DIR/tavrod.lock (or in /run/user/<uid>, and only where there
// is no such directory of the user's, /tmp/tavrod-<uid>.lock; the record
// key and a private IPC namespace add to the name), which
// the kernel gives back however the daemon ends, SIGKILL included; the file
// holds the daemon's process id.  Another user's live tavrod named in the
// status segment keeps the record too.  Nothing another user can make or
// hold (a semaphore, a file of theirs, a dead process id) blocks or lifts
// the claim.  Returns true, or false with *holderPid the process id of the
// daemon that holds it (0 when none is known) and *error one line saying
// whose daemon it is and what the caller can do.
bool ClaimDaemonLock(int recordKey, int* holderPid, std::string* error);

// How the caller can end the daemon of that process: "stop it first (kill
// PID)" for its own or when root, else "only USER or root can stop it".
std::string StopAdvice(int pid);

// The user name of the process's owner when that is another user than the
// caller's; empty for the caller's own processes or an unknown one.
std::string OtherUsersProcess(int pid);

}  // namespace tavro

#endif  // TAVRO_DAEMON_STATUS_H
