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

// Xlib's display type, declared here instead of including Xlib, whose macros
// (None, Bool, Status, ...) clash with other code that includes this header.
namespace tavro {
struct DaemonStatus;
class CalculationWorkers;
class Output;
class KeyRelayServer;
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
    // Held around each key or button sequence (press, wait, release), so
    // that sequences of different threads never interleave.
    std::recursive_mutex OutputSequence;

    // ---- Serial link. ----
    int SI_Open();
    int SI_Write(unsigned char* buffer, unsigned int length, int* written);
    // Gives up exclusive use and closes the tty; DeviceFd becomes 0.
    void CloseDevice();

    // ---- Packet reader. ----
    int ReadChunk(unsigned char* buffer, unsigned int capacity, unsigned char* type,
                  int* length);
    bool ReadUntilSync();

    // ---- Thread entry points; each takes the platform object. ----
    static void* ThreadReadPODDeviceData(void* object);
    static void* ThreadWritePODDeviceData(void* object);
    static void* ThreadCalculatePODDeviceData(void* object);

    // ---- Key injection (also exported through the API). ----
    int TV_SendKeyEvent(int keysym, int unused1, int mode, int unused2);

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

    // ---- Data members. ----
    int SharedMemoryId = -1;
    char LogIdent[256] = {};
    int DeviceFd = 0;

    // Tracking packets accepted and not yet through their pass (queued,
    // computing or moving the pointer); 0 once the device has stopped.
    std::atomic<int> RunningPasses{0};
    // Counts of the calculation pipeline since the object was made, copied
    // into Status whenever it is set (linux/CalculationWorkers.cpp):
    // packets whose computation never ran (none since the reader runs every
    // pass itself; kept for the status segment), passes whose pointer motion
    // was skipped because a newer packet of the handset came in the same read.
    std::atomic<unsigned long> DroppedPasses{0};
    std::atomic<unsigned long> MotionSkipped{0};
    std::atomic<unsigned long> PacketsDecoded{0};
    std::atomic<unsigned long> PacketsPerHandset[4] = {};
    std::atomic<long long> LastPacketUnixNs{0};
    // One log line per device run for drops and for skips.
    std::atomic<bool> DropLogged{false};
    std::atomic<bool> SkipLogged{false};
    // The per-handset calculation workers, made at the first StartDevice.
    std::shared_ptr<tavro::CalculationWorkers> Workers;

    // The device daemon's status segment (DaemonStatus.h), attached by the
    // daemon before StartDevice; null in every other process.  The device
    // threads count packets, skips and the receiver's state into it.
    tavro::DaemonStatus* Status = nullptr;

    // ---- Whether the tty is a receiver at all. ----
    // False from each open until the reader has framed a whole packet of a
    // valid type: until then the writer sends nothing (requests stay raised),
    // so another device that took the path is never written to.
    std::atomic<bool> ReceiverAnswered{false};

    // ---- Receiver loss (unplugged, tty hung up). ----
    // Set by the reader while the tty reports the device gone; cleared when
    // data flows again.
    std::atomic<bool> DeviceLost{false};
    // Set by the receiver's owner before StartDevice: a lost device then ends
    // the device threads, so that StartDevice returns and the owner can close
    // and reopen the tty.  Otherwise the reader keeps retrying (100 ms apart)
    // until StopRequest.
    std::atomic<bool> EndOnDeviceLoss{false};
    // True while the reader thread runs.  StartDevice returns only after it
    // has ended, so no device thread uses DeviceFd once StartDevice is back,
    // unless the reader was stuck past the end's wait (below).
    std::atomic<bool> ReaderRunning{false};
    // Counts the device's runs as they end.  A reader still busy when its
    // run ended (stuck in a pass behind a frozen desktop) sees the count
    // change and leaves at its next look, rather than reading the next
    // run's tty beside that run's own reader.
    std::atomic<unsigned> ReaderGeneration{0};
    // Taken by a reader as it clears ReaderRunning and by the end of its run
    // as it counts the run: a late reader never clears the next run's flag,
    // and none still holds the object once StartDevice is back.
    std::mutex ReaderEndLock;

    // ---- The caller's own loop while the device runs. ----
    // When set, StartDevice's caller runs this on its own thread while the
    // device runs, instead of a bare wait for the command writer, so that a
    // program (the daemon) serves its own descriptors there without a thread
    // of its own.  `writerEnded` becomes readable when the writer has ended:
    // the function polls it with its own descriptors and returns then (or
    // earlier: it is called again as long as the writer runs).
    std::function<void(int writerEnded)> WhileDeviceRuns;
    // Readable once the writer has ended (an eventfd; -1 without a loop).
    int WriterEndedFd = -1;
    std::atomic<bool> WriterRunning{false};
    // Made readable when the writer has ended, so that the reader, which
    // waits on the tty and this eventfd, leaves its loop at once instead of
    // looking at StopRequest every 50 ms (-1 when the reader runs alone).
    int ReaderWakeFd = -1;
};

#endif  // TAVRO_LINUX_H
