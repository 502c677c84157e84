// CTavroLinux: the Linux platform object.  It supplies every platform
// operation of CTavroCore: the serial tty, the device threads, the shared
// segment, paths and system log, and the X11 pointer and keyboard.
#ifndef TAVRO_LINUX_H
#define TAVRO_LINUX_H

#include "TavroCore.h"

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Xlib's display type, declared here instead of including Xlib, whose macros
// (None, Bool, Status, ...) clash with other code that includes this header.
namespace tavro {
struct DaemonStatus;
class CalculationWorkers;
class DeviceRun;
class Output;
class KeyBindings;
class KeyRelayServer;
struct OutputSelection;
class ReceiverTty;

// How a device run is to behave, set by the receiver's owner before
// StartDevice.
struct RunOptions {
    // A lost receiver (unplugged, tty hung up) ends the run, so that
    // StartDevice returns and the owner can close and reopen the tty.
    // Otherwise the reader keeps retrying (100 ms apart) until StopRequest.
    bool EndOnDeviceLoss = false;
    // When set, StartDevice's caller runs this on its own thread while the
    // device runs, instead of a bare wait for the command writer, so that a
    // program (the daemon) serves its own descriptors there without a thread
    // of its own.  `writerEnded` becomes readable when the writer has ended:
    // the function polls it with its own descriptors and returns then (or
    // earlier: it is called again as long as the writer runs).
    std::function<void(int writerEnded)> WhileDeviceRuns;
    // The device daemon's status segment (DaemonStatus.h); null in every
    // other process.  The runs count packets, skips and the receiver's
    // state into it.
    DaemonStatus* Status = nullptr;
    // The user's key bindings act in the runs (KeyBindings.h), read from
    // BindingsPath (empty: $XDG_CONFIG_HOME/tavro/bindings.conf).
    bool KeyBindings = true;
    std::string BindingsPath;
    // The owner's own loop serves the bindings (KeyBindings::Descriptor),
    // instead of a thread of theirs.
    bool BindingsServedByOwner = false;
};

// Counts of the calculation pipeline since the platform object was made.
struct PipelineCounts {
    // Tracking packets accepted and not yet through their pass (queued,
    // computing or moving the pointer); 0 once the device has stopped.
    std::atomic<int> RunningPasses{0};
    // Packets whose computation never ran (none since the reader runs every
    // pass itself; kept for the status segment), and passes whose pointer
    // motion was skipped because a newer packet of the handset came in the
    // same read.
    std::atomic<unsigned long> DroppedPasses{0};
    std::atomic<unsigned long> MotionSkipped{0};
    std::atomic<unsigned long> PacketsDecoded{0};
    std::atomic<unsigned long> PacketsPerHandset[4] = {};
    std::atomic<long long> LastPacketUnixNs{0};
};
}

struct _XDisplay;
typedef struct _XDisplay Display;

// The one X display connection of the process; null when no display could be
// opened, in which case every pointer and key operation does nothing.
extern Display* display;

class CTavroLinux : public CTavroCore {
public:
    CTavroLinux();
    virtual ~CTavroLinux();

    // ---- Overrides of the core's virtual interface. ----
    int OpenDevice() override;
    int CreatePODThreads() override;
    int CreateDataPacketThread() override;
    int StopDevice() override;
    int CalculateScreenBorders(double* x, double* y, int user) override;
    int MoveScreenCursor(double x, double y, double unclampedX, double unclampedY,
                         int user) override;
    int SendCommand(unsigned char* buffer, unsigned long length) override;
    int CalculatePODCoordinates(double* x, double* y) override;
    int ReadPODDeviceData() override;
    int WritePODDeviceData() override;
    int TV_Sleep(int microseconds) override;
    int CreateSharedMemory() override;
    int HandleNorthEastEvents() override;
    int HandleNorthEvents() override;
    int HandleNorthWestEvents() override;
    int HandleEastEvents() override;
    int HandleCenterEvents() override;
    int HandleWestEvents() override;
    int HandleSouthEastEvents() override;
    int HandleSouthEvents() override;
    int HandleSouthWestEvents() override;
    int HandleMenuEvents() override;
    int TV_GetIniFileName() override;
    int CreateIniDirectory() override;
    bool FileExists() override;
    int MouseEventLeftDownUp() override;
    int MouseEventLeftDown() override;
    int MouseEventLeftUp() override;
    int GetSharedDataPath() override;
    int TV_GetAppPath(char* buffer) override;
    int OutputDebugString(char* line) override;
    int MoveScreenCursorRelative(int dx, int dy) override;
    int InitializeDevice() override;
    int PreCalculatePODDeviceData() override;
    int AdditionalInitialization() override;
    int MouseEventButtonDownUp() override;
    int MouseEventButtonUp() override;
    int MouseEventDrag() override;

    // ---- Entries the platform appends after its destructor. ----
    virtual int MoveScreenCursorAbsolute(int x, int y);
    virtual int GetCursorPosition(int* x, int* y);

    // ---- Output: where pointer, buttons and keys go (linux/output/). ----
    enum class OutputChoice { Auto, X11, Uinput };
    // Chooses and opens the output for this process.  screenWidth and
    // screenHeight (0 when not given) stand for the desktop's size when no
    // X display tells it.  Returns 0 with *message the one line that says
    // which output is used and why, or non-zero with *message the one-line
    // error naming the cause and the fix.
    int SelectOutput(OutputChoice choice, int screenWidth, int screenHeight,
                     std::string* message);
    // The same, with the choice and its reason as values
    // (linux/output/OutputSelection.h).
    tavro::OutputSelection ChooseOutput(OutputChoice choice, int screenWidth, int screenHeight);
    // The output every pointer, button and key operation goes to: from the
    // constructor on, the X11 output (with keys routed as a client's, see
    // linux/output/ClientOutput.h); SelectOutput's choice once it ran.  A
    // decorator may replace it (std::atomic_store) before StartDevice.
    std::shared_ptr<tavro::Output> DesktopOutput;
    // The desktop's size given to SelectOutput (0 when not given).
    int OutputScreenWidth = 0;
    int OutputScreenHeight = 0;
    // Serves the keys of client processes when this process types through
    // uinput (linux/output/KeyRelay.h).
    std::shared_ptr<tavro::KeyRelayServer> KeyRelay;
    // The key bindings, made by the first device run and kept across runs
    // (the profile in use with them); null while no run has been.
    std::shared_ptr<tavro::KeyBindings> Bindings;
    // Held around each key or button sequence (press, wait, release), so
    // that sequences of different threads never interleave.
    std::recursive_mutex OutputSequence;

    // ---- Serial link. ----
    int SI_Open();
    int SI_Write(unsigned char* buffer, unsigned int length, int* written);
    // Gives up exclusive use of the tty and lets it go; DeviceFd becomes 0.
    // The descriptor closes once no run's reader holds it any more.
    void CloseDevice();

    // ---- Thread entry points. ----
    // The reader and the writer of a run (DeviceRun.cpp); each takes the run.
    static void* ThreadReadPODDeviceData(void* run);
    static void* ThreadWritePODDeviceData(void* run);
    // A handset's calculation worker; takes its seat (CalculationWorkers.h).
    static void* ThreadCalculatePODDeviceData(void* seat);

    // ---- Key injection (also exported through the API). ----
    int TV_SendKeyEvent(int keysym, int unused1, int mode, int unused2);
    // The key of TV_SendKeyEvent (mode 0 tap, 1 press, 2 release, others
    // send nothing); false when it went nowhere: no output, a symbol the
    // keymap cannot type, or a client's virtual keyboard no desktop read.
    bool SendKey(int keysym, int mode);

    // ---- System log. ----
    // Sends the text verbatim to the system log at LOG_INFO.
    static void AddToMessageLog(const char* text);
    // Formats a message (at most 255 characters) and logs it.
    static void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Tests observe the platform's log through this hook; null in production.
    static void (*MessageLogObserver)(const char* text);

    // The segment key.  Tests use a private key; everything else uses 1103.
    static key_t SharedMemoryKey;
    // Why the last CreateSharedMemory of the process failed, with the fix
    // (for example "... remove it with: ipcrm -M 1103"); empty after success.
    // Programs print it in their own one-line message.
    static char SharedMemoryProblem[256];

    // ---- The device run (linux/DeviceRun.h). ----
    // The tty open now (null when none is): OpenDevice opens it, CloseDevice
    // lets it go.  A run holds the tty it started on, so its descriptor stays
    // open, and its number unused by another open, until the run's reader is
    // gone.
    std::shared_ptr<tavro::ReceiverTty> OpenTty() const;
    // The descriptor of the open tty; 0 when none is open.
    int DeviceFd() const;
    // Takes `fd` as the open tty (a descriptor opened elsewhere: tests,
    // fuzzing); it is closed by CloseDevice.
    void AdoptDevice(int fd);
    // Whether the open tty reports the receiver gone (unplugged, hung up);
    // false when none is open.
    bool DeviceLost() const;
    // Whether the reader of the device running now is in its loop.
    bool ReaderRunning() const;
    // Calculation workers of the device running now (0 without one).
    int RunningWorkers() const;

    // What the receiver's owner sets before StartDevice; each run takes a
    // copy when it starts.
    tavro::RunOptions RunOptions;
    // Counts that outlive the runs (the runs count into them).
    tavro::PipelineCounts Counts;

    // ---- Data members. ----
    int SharedMemoryId = -1;
    char LogIdent[256] = {};

private:
    // The run whose reader is the calling thread, else null.
    std::shared_ptr<tavro::DeviceRun> RunOfThisReader() const;
    std::shared_ptr<tavro::DeviceRun> CurrentRun() const;
    // Drops the ended runs whose threads are all gone.
    void ReapEndedRuns(bool wait);

    std::shared_ptr<tavro::ReceiverTty> tty_;  // std::atomic_load / atomic_store
    mutable std::mutex runsMutex_;
    std::shared_ptr<tavro::DeviceRun> run_;  // the run of the StartDevice under way
    // Ended runs whose reader was still held in a pass (a frozen desktop)
    // when their StartDevice returned; destroyed once it has left.
    std::vector<std::shared_ptr<tavro::DeviceRun>> endedRuns_;
};

#endif  // TAVRO_LINUX_H
