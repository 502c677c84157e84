// CTavroCore: the device-independent heart of the kit.
//
// The class holds the pointer to the shared record and the per-process
// button and stabilisation state, and defines the virtual interface through
// which the core reaches the platform.  The platform library is built
// against this declaration, so the order of the virtual functions below is
// a binary contract: never reorder, insert or remove one.
#ifndef TAVRO_CORE_H
#define TAVRO_CORE_H

#include "AdaptiveFilter.h"
#include "SharedDeviceState.h"

#include <atomic>
#include <memory>

// The ten keypad keys in dispatch order; the value is the key's bit in the
// active-low button word and the position of its handler in the vtable.
enum ButtonIndex : int {
    NorthEast = 0,
    North = 1,
    NorthWest = 2,
    East = 3,
    Center = 4,
    West = 5,
    SouthEast = 6,
    South = 7,
    SouthWest = 8,
    Menu = 9
};

// Tracking payload bytes a calculation pass works on (the size of RawData).
constexpr int kTrackingPayloadSize = 512;
// Sub-frames one pass can spread its movement over (the interpolation table).
constexpr int kMaxSubframes = 10;

// Severity of a debug line.
constexpr int kDebugProgress = 0;
constexpr int kDebugFailure = 1;

class CTavroCore {
public:
    CTavroCore();
    ~CTavroCore();

    // ---- Virtual interface: 42 entries in this exact order. ----
    virtual int OpenDevice() = 0;                                              // 1
    virtual int CreatePODThreads() = 0;                                        // 2
    virtual int CreateDataPacketThread() = 0;                                  // 3
    virtual int StopDevice() = 0;                                              // 4
    virtual int CalculateScreenBorders(double* x, double* y, int user) = 0;    // 5
    virtual int MoveScreenCursor(double x, double y, double unclampedX,
                                 double unclampedY, int user) = 0;             // 6
    virtual int SendCommand(unsigned char* buffer, unsigned long length) = 0;  // 7
    virtual int CalculatePODCoordinates(double* x, double* y) = 0;             // 8
    virtual int ReadPODDeviceData() = 0;                                       // 9
    virtual int WritePODDeviceData() = 0;                                      // 10
    virtual int TV_Sleep(int microseconds) = 0;                                // 11
    virtual int CreateSharedMemory() = 0;                                      // 12
    virtual int HandleNorthEastEvents() = 0;                                   // 13
    virtual int HandleNorthEvents() = 0;                                       // 14
    virtual int HandleNorthWestEvents() = 0;                                   // 15
    virtual int HandleEastEvents() = 0;                                        // 16
    virtual int HandleCenterEvents();                                          // 17
    virtual int HandleWestEvents() = 0;                                        // 18
    virtual int HandleSouthEastEvents() = 0;                                   // 19
    virtual int HandleSouthEvents() = 0;                                       // 20
    virtual int HandleSouthWestEvents() = 0;                                   // 21
    virtual int HandleMenuEvents() = 0;                                        // 22
    virtual int TV_GetIniFileName() = 0;                                       // 23
    virtual int CreateIniDirectory() = 0;                                      // 24
    virtual bool FileExists() = 0;                                             // 25
    virtual int MouseEventLeftDownUp() = 0;                                    // 26
    virtual int MouseEventLeftDown() = 0;                                      // 27
    virtual int MouseEventLeftUp() = 0;                                        // 28
    virtual int GetSharedDataPath() = 0;                                       // 29
    virtual int TV_GetAppPath(char* buffer) = 0;                               // 30
    virtual int OutputDebugString(char* line) = 0;                             // 31
    virtual int MoveScreenCursorRelative(int dx, int dy);                      // 32
    virtual int InitializeDevice();                                            // 33
    virtual int PreCalculatePODDeviceData();                                   // 34
    virtual int AdditionalInitialization();                                    // 35
    virtual int MouseEventButtonDownUp();                                      // 36
    virtual int MouseEventButtonUp();                                          // 37
    virtual int MouseEventDrag();                                              // 38
    virtual int SendDebug();                                                   // 39
    virtual int SendFrequency();                                               // 40
    virtual int SendClearHat();                                                // 41
    virtual int SendProgramID();                                               // 42

    // ---- Start-up and debug log. ----
    int Initialize();
    // Start-up of a process that looks at the record and asks for commands
    // while a device may be running on it: attaches the record and reads
    // this process's settings, but changes nothing a running device or
    // another client relies on (positions, buttons, histories, the active
    // handset, the pointing mode, requests and their parameters, settings).
    // A record no process has started yet gets the start values first.  The
    // file's settings go into the record only when no device runs on it
    // (`deviceRuns` false); otherwise they stay in FileSettings.  The file is
    // never created or rewritten here.  Returns as Initialize.
    int Attach(bool deviceRuns);
    int StartDevice();
    void WriteDebugStr(char* message, char* file, int line, int severity);

    // ---- Packet decoding. ----
    int HandlePODDeviceData(unsigned char* payload, int length, unsigned char type);

    // ---- Position computation. ----
    // One pass over the tracking payload now in RawData.
    int CalculatePODDeviceData();
    // One pass over a payload the caller copied when the packet was accepted,
    // so that a later packet cannot replace it before the pass starts.
    int CalculatePODDeviceData(const unsigned char* payload);
    // The same pass in its two stages, for a caller that orders the passes
    // of a handset itself.  ComputePass updates the values, histories,
    // buttons and smoothing and fills `motion`; it returns true when the
    // pass moves the pointer.  MovePass plays the sub-frames, calling
    // `wait` after each one (after the last only when waitAfterLast); a wait
    // that returns false ends the motion early.  Returns the moves made.
    struct PassMotion {
        int user = 0;
        int subframes = 0;
        int pauseMicroseconds = 0;
        unsigned sequence = 0;
        double table[kMaxSubframes][2][4] = {};
        int stabiliser = kStabiliserBuiltin;  // the stabiliser that computed the table
    };
    bool ComputePass(const unsigned char* payload, PassMotion* motion);
    int MovePass(const PassMotion& motion, bool (*wait)(void* context, int microseconds),
                 void* context, bool waitAfterLast);
    int CalculateData(unsigned char* payload, int user);
    double GetAverageDistance(int count, int user);
    int CalculateInterPolValues(double (*table)[2][4], int user);

    // ---- Stabilisation and rotation compensation. ----
    int Stabilize(int user);
    int RotationCompensation(int user);

    // ---- Button dispatch. ----
    int HandleButtonEvent(unsigned int state, ButtonIndex index);

    // ---- Receiver command encoders. ----
    int SendHID_Mouse();
    int SendHID_Cal();
    int SendHID_AntiShake();
    int SendHID_Default();
    int SendHID_Mappings();
    int SendStartMotor();
    int SendStopMotor();
    int SendLearnCode();
    int SendGetIRCode();
    int SendSendIRCode();
    int SendIRBlast();
    int SendSetTresh();
    int SendSetGain();
    int SendSetExposure();
    int SendGetInfoReq();

    // ---- Settings file. ----
    int ReadStaticSettings();
    int ReadSettings();
    int WriteSettings();
    int InitializeValues();

    // ---- Data members. ----
    ButtonIndex CurrentButton = NorthEast;
    SharedDeviceState* SharedData = nullptr;
    float ZoomStep = 0.0f;
    double ZoomStartDistance = 0.0;
    unsigned int CurrentButtonState = 0;
    unsigned int ButtonHistory[TAVRO_HANDSETS][13] = {};
    unsigned char ButtonDown[13] = {};
    double PreviousRawX[TAVRO_HANDSETS] = {};
    double PreviousRawY[TAVRO_HANDSETS] = {};
    double PreviousOutputX[TAVRO_HANDSETS] = {};
    double PreviousOutputY[TAVRO_HANDSETS] = {};

    // Per-process bookkeeping of the calculation passes (not part of the
    // shared format): the sequence number of the newest pass of each handset.
    std::atomic<unsigned> PassSequence[TAVRO_HANDSETS] = {};

    // Where the core reports problems a user must see (a settings file that
    // does not parse or cannot be written), besides standard error.  The
    // platform points it at its system log.
    void (*ProblemLog)(const char* text) = nullptr;
    // Keys the platform acts on by bindings of its own: called for every
    // handset's packet once its histories and the active handset are up to
    // date, with the packet's button word.  The lines it returns reach their
    // handlers as idle (a state of 0) in this packet, so that the built-in
    // behaviour of a rebound key stays quiet.
    unsigned (*KeysTaken)(CTavroCore* core, int user, unsigned buttonWord) = nullptr;
    // Called at the end of every start-up's settings step, once the record
    // holds the values of this process's settings file (kSettingsFromFile)
    // or the defaults (kSettingsFromDefaults: the file was missing and could
    // not be made, or could not be read or parsed).  The platform records
    // there who loaded which file, for the daemon and `tavro status`.
    static constexpr int kSettingsFromFile = 0;
    static constexpr int kSettingsFromDefaults = 1;
    void (*SettingsLoaded)(CTavroCore* core, int source) = nullptr;
    void NoteSettingsLoaded(int source);
    // The settings as this process last read them from its file (the
    // defaults where it had none), whether or not they went into the record;
    // null before the first read.  Only the settings fields are meaningful.
    const SharedDeviceState* FileSettings() const { return FileSettingsView.get(); }
    // When set, a pass stops moving the pointer as soon as a newer pass of
    // the same handset has begun to move it, so that two passes never
    // interleave their sub-frames (bench/ measures both behaviours).
    bool SupersedeOlderPasses = true;

    // ---- Stabiliser choice (per process; the record's layout is untouched). ----
    // kStabiliserBuiltin: the averaging window over History (StabX, StabY,
    // XYCounter as always).  kStabiliserAdaptive: the roll and the position
    // through AdaptiveFilter.h.  Read once per pass, so a change takes effect
    // at the next packet; the adaptive filter then starts from the current
    // output, so the pointer does not jump.
    static constexpr int kStabiliserBuiltin = 0;
    static constexpr int kStabiliserAdaptive = 1;
    std::atomic<int> StabiliserChoice{kStabiliserBuiltin};
    tavro::OneEuroParameters PositionFilterParameters = tavro::kPositionFilterDefaults;
    tavro::OneEuroParameters RollFilterParameters = tavro::kRollFilterDefaults;
    // The adaptive stabiliser's pointer leaves its display pixel only when
    // the filtered position is this far (px) beyond the pixel's edge.
    double PointerHysteresisMargin = tavro::kPointerHysteresisMargin;
    // Monotonic time of a pass in nanoseconds, the adaptive filter's time
    // step; null reads std::chrono::steady_clock.  Tests and benchmarks give
    // virtual time here.
    int64_t (*PassClock)(void* context) = nullptr;
    void* PassClockContext = nullptr;
    // Per-handset state of the stabilisers between passes.
    struct StabiliserState {
        tavro::AdaptiveHandsetFilter filter;
        int choice = kStabiliserBuiltin;  // what this pass uses, fixed by RotationCompensation
        int lastChoice = kStabiliserBuiltin;
        int64_t passNs = 0;                // this pass's time stamp
        int64_t previousPassNs = 0;        // the one before
        bool hasPrevious = false;          // a pass before this one in this process
        unsigned long passes = 0;
        // The adaptive stabiliser's pointer pixel, per display axis; used by
        // the sub-frame moves, under their own lock (HoldPointerPixel).
        tavro::PixelHysteresis pointerX, pointerY;
        int limitedPasses = 0;  // adaptive passes left whose step the hand's step bounds
    };
    StabiliserState Stabilisers[TAVRO_HANDSETS];
    int64_t PassTimeNs();
    // Turns a sub-frame's display position into the pointer's: with the
    // adaptive stabiliser the centre of the pixel the pointer stays on
    // (PixelHysteresis), otherwise the position unchanged.
    void HoldPointerPixel(const PassMotion& motion, double* x, double* y);
    // The arrival time (steady clock, ns) of the packet the calling thread is
    // about to compute, 0 for none: a worker that is behind computes queued
    // packets back to back, and the filter's time steps must be the packets'
    // own spacing, not the computation's.  A PassClock, where set, wins.
    static void SetPassArrivalNs(int64_t ns);

protected:
    // How the next settings read treats the record: Initialize publishes the
    // file's values and creates a missing file; Attach may do neither.
    void ResetProcessState();
    bool PublishReadSettings = true;
    bool CreateMissingSettingsFile = true;
    std::shared_ptr<SharedDeviceState> FileSettingsView;
    // Writes one debug line from the core's own source unit.
    void Debug(int line, int severity, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    // Reports a problem on standard error and through ProblemLog.
    void ReportProblem(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Updates the handset's button histories from its button word and
    // dispatches them when it is the active handset.
    void UpdateAndDispatchButtons(unsigned int buttonWord, int user);
};

#endif  // TAVRO_CORE_H
