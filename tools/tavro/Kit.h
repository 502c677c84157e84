// What the command-line programs share: attaching to the kit's record
// without upsetting the running device, reading fields another process
// writes, waiting on the device daemon, and reporting failures.
#ifndef TAVRO_CLI_KIT_H
#define TAVRO_CLI_KIT_H

#include "RecordAccess.h"
#include "SharedDeviceState.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

namespace tavro::cli {

// Exit statuses of the programs.
enum ExitStatus {
    kExitOk = 0,
    kExitFailure = 1,   // something went wrong (a file, the settings, the receiver's error)
    kExitUsage = 2,     // a wrong command, option or value
    kExitNoAnswer = 3,  // nothing came from the daemon or the receiver in time
};

// The name that starts every message ("tavro", "tavro-calibrate").
void SetProgramName(const char* name);
const char* ProgramName();

// Prints "<program>: <message>" on standard error and returns `status`.
int Fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Attaches the kit's record through TV_Attach, which leaves the live state
// of a running device (positions, pointing mode, pending requests) as it
// is and writes no file.  Returns null after printing a message naming the
// cause and the fix when no record can be had.
SharedDeviceState* AttachKit();

// Polls the condition every few milliseconds until it holds, the time-out
// passes or the user interrupts; returns whether it held.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// One of the record's request flags, named as &SharedDeviceState::IRBlastRequest.
using RequestFlag = uint8_t SharedDeviceState::*;

// Raises nothing: waits until the daemon's command writer (it looks every
// 50 ms) has sent the request the caller raised; on time-out or an
// interrupt withdraws it.  True when the daemon took it up.
constexpr std::chrono::milliseconds kServeTimeout{2000};
bool AwaitOrWithdraw(SharedDeviceState* record, RequestFlag flag,
                     std::chrono::milliseconds timeout = kServeTimeout);

// How a request to the daemon or the receiver went, for callers that show
// it themselves (the desktop app) rather than print it.
struct Outcome {
    int status = kExitOk;  // an ExitStatus
    std::string message;   // on failure: one line naming the cause
    bool ok() const { return status == kExitOk; }
};
Outcome Failure(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Prints a failed outcome's message as Fail does; returns its status.
int Report(const Outcome& outcome);

// The failure for a request nobody took up (and that was withdrawn): names
// the cause (no daemon, no receiver, no packets) from the daemon's status.
Outcome NotServedOutcome(const char* what);
int NotServed(const char* what);

// What the device daemon's status segment says, read once.
struct DaemonView {
    bool known = false;            // the status segment could be read
    bool running = false;          // a daemon process is alive
    int pid = 0;
    bool receiverConnected = false;
    std::string receiverPath;
    uint64_t packets = 0;          // tracking packets decoded, all handsets
    uint64_t perHandset[4] = {};
    double secondsSincePacket = -1;  // -1: none yet
    uint64_t motionSkipped = 0, passesDropped = 0;
    std::string output, filter;
    std::string outputReason;      // the daemon's line on its output: which and why
    int screenWidth = 0, screenHeight = 0;  // the desktop's size positions go to, 0 = not told
    std::string profile;           // the key bindings' profile in use
    std::string settingsPath, settingsLoadedBy;
    int settingsLoadedByPid = 0;
    bool settingsFromDefaults = false;
    int64_t settingsLoadedUnixNs = 0;
};
DaemonView ReadDaemonView();

// One sentence naming why the receiver does not answer or no data comes,
// with the fix: no daemon; daemon without its receiver; receiver without
// packets for a while.  Empty when the daemon and the receiver look fine.
std::string DeviceProblem(const DaemonView& view);

// Sends a receiver command whose request the caller has just raised through
// the API: waits until the daemon sent it (withdrawing it on time-out), then
// briefly for an error report of the receiver.  Returns an exit status (after a message on failure).
int CompleteCommand(SharedDeviceState* record, RequestFlag flag, int32_t errorBefore,
                    const char* what);
// The same, returning the outcome instead of printing it.
Outcome AwaitCommand(SharedDeviceState* record, RequestFlag flag, int32_t errorBefore, const char* what);

// Ctrl-C and SIGTERM set this instead of ending the program at once, so
// that the terminal is left tidy.
extern volatile std::sig_atomic_t g_interrupted;
void CatchInterrupts();

// Number parsing for arguments: the whole text must be the number; blanks
// before or after it are refused alike.
bool ParseInt(const std::string& text, long* value);
bool ParseDouble(const std::string& text, double* value);

}  // namespace tavro::cli

#endif
