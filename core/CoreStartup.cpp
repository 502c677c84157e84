// Construction, start-up of the shared record, device start, the debug line
// writer and the core's default bodies of platform operations.
#include "TavroCore.h"
#include "RecordAccess.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

CTavroCore::CTavroCore() = default;

CTavroCore::~CTavroCore() = default;

namespace {

// Start values that every initialising process stores, before the settings
// are read.  Settings fields reloaded from the file are reset here too, and
// fields no setting covers get their only defined value here.
void ResetRecord(SharedDeviceState& r) {
    tavro::StoreField(r.HIDMouseRequest, 0);
    tavro::StoreField(r.HIDCalRequest, 0);
    tavro::StoreField(r.HIDAntiShakeRequest, 0);
    tavro::StoreField(r.HIDDefaultRequest, 0);
    tavro::StoreField(r.HIDMappingsRequest, 0);
    tavro::StoreField(r.StopRequest, 0);
    tavro::StoreField(r.StartMotorRequest, 0);
    tavro::StoreField(r.LearnInProgress, 0);
    tavro::StoreField(r.LearnCodeRequest, 0);
    tavro::StoreField(r.SendIRCodeRequest, 0);
    tavro::StoreField(r.HIDMouseMode, 0);
    tavro::FillBytes(r.InfoBuffer, 0, sizeof r.InfoBuffer);

    tavro::StoreField(r.FrequencyRequest, 0);
    tavro::StoreField(r.DebugRequest, 0);
    tavro::StoreField(r.GetInfoRequest, 0);
    tavro::StoreField(r.SetExposureRequest, 0);
    tavro::StoreField(r.SetGainRequest, 0);
    tavro::StoreField(r.SetThreshRequest, 0);
    tavro::StoreField(r.IRBlastRequest, 0);
    tavro::StoreField(r.StopMotorRequest, 0);
    tavro::StoreField(r.ClearHatRequest, 0);
    tavro::StoreField(r.ProgramIDRequest, 0);

    tavro::StoreField(r.RotationCompensation, 1);
    tavro::FillBytes(r.Stabilize, 0, sizeof r.Stabilize);
    tavro::StoreField(r.Reserved086E, 0);
    tavro::StoreField(r.DistanceScaling, 0);
    tavro::StoreField(r.MoveEnabled, 1);
    tavro::StoreField(r.DrawBitmaps, 0);
    tavro::StoreField(r.DirectPoint, 1);
    tavro::StoreField(r.Reserved0893, 0);
    tavro::StoreField(r.MoveAtBoundary, 0);
    tavro::StoreField(r.MouseClick, 1);
    tavro::StoreField(r.QuickClick, 1);
    tavro::StoreField(r.SmartTracking, 0);

    tavro::StoreField(r.ClickStill, 8);
    tavro::StoreField(r.ImageWidth, 0);
    tavro::StoreField(r.ImageHeight, 0);
    tavro::StoreField(r.ImageLength, 0);
    tavro::StoreField(r.MicWriteIndex, TAVRO_MIC_BLOCKS - 1);
    tavro::StoreField(r.SoundCount, 0);
    tavro::StoreField(r.MotorValue, 0);
    tavro::StoreField(r.CurrentUser, 0);
    tavro::StoreField(r.PacketUser, 99);
    for (int u = 0; u < TAVRO_HANDSETS; ++u) {
        tavro::StoreField(r.XYCounter[u], 0);
        tavro::StoreField(r.HistoryCount[u], 0);
        tavro::StoreField(r.Buttons[u], -1);
        tavro::StoreField(r.X[u], 0.0);
        tavro::StoreField(r.Y[u], 0.0);
    }
    tavro::StoreField(r.CalDistance, 0.0);
    tavro::StoreField(r.Dmin, 0.0);
    tavro::FillBytes(r.MicData, 0, sizeof r.MicData);
}

}  // namespace

namespace {

// A segment the kernel has just made is all zeros, and every start-up
// stores non-zero start values in these fields: a record that still has
// them all zero has never been started by any process.
bool NeverStarted(const SharedDeviceState& r) {
    return tavro::LoadField(r.PacketUser) == 0 && tavro::LoadField(r.MicWriteIndex) == 0 &&
           tavro::LoadField(r.ClickStill) == 0 && tavro::LoadField(r.BaudRate) == 0;
}

}  // namespace

void CTavroCore::ResetProcessState() {
    std::memset(ButtonHistory, 0, sizeof ButtonHistory);
    for (int u = 0; u < TAVRO_HANDSETS; ++u) {
        PreviousRawX[u] = 0.0;
        PreviousRawY[u] = 0.0;
    }
}

int CTavroCore::Initialize() {
    if (CreateSharedMemory() != 0 || SharedData == nullptr) return 1;

    ResetRecord(*SharedData);
    ResetProcessState();

    int result = AdditionalInitialization();
    if (result != 0) return result;
    PublishReadSettings = true;
    CreateMissingSettingsFile = true;
    return ReadStaticSettings();
}

int CTavroCore::Attach(bool deviceRuns) {
    if (CreateSharedMemory() != 0 || SharedData == nullptr) return 1;

    const bool fresh = NeverStarted(*SharedData);
    if (fresh) ResetRecord(*SharedData);
    ResetProcessState();

    int result = AdditionalInitialization();
    if (result != 0) return result;
    PublishReadSettings = fresh || !deviceRuns;
    CreateMissingSettingsFile = false;
    // The paths are this process's own while it reads; the running device
    // keeps the file it runs on (a setter saves there, where it reloads).
    char directory[sizeof SharedData->SettingsDirectory];
    char file[sizeof SharedData->IniFileName];
    tavro::LoadBytes(SharedData->SettingsDirectory, directory, sizeof directory);
    tavro::LoadBytes(SharedData->IniFileName, file, sizeof file);
    result = ReadStaticSettings();
    if (!PublishReadSettings) {
        tavro::StoreBytes(SharedData->SettingsDirectory, directory, sizeof directory);
        tavro::StoreBytes(SharedData->IniFileName, file, sizeof file);
    }
    PublishReadSettings = true;
    CreateMissingSettingsFile = true;
    return result;
}

int CTavroCore::StartDevice() {
    int result = OpenDevice();
    if (result != 0) {
        Debug(__LINE__, kDebugFailure, "OpenDevice failed");
        return result;
    }
    result = InitializeDevice();
    if (result != 0) return result;
    Debug(__LINE__, kDebugProgress, "InitializeDevice is an success");
    CreatePODThreads();
    return 0;
}

void CTavroCore::WriteDebugStr(char* message, char* file, int line, int severity) {
    char timeText[80] = "";
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) std::strftime(timeText, sizeof timeText, "%c", &local);

    const char* format = severity == kDebugFailure ? "** %s file : %s line : %d message : %s\n"
                                                   : "   %s file : %s line : %d message : %s\n";
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, timeText, file != nullptr ? file : "",
                  line, message != nullptr ? message : "");
    OutputDebugString(buffer);
}

void CTavroCore::Debug(int line, int severity, const char* format, ...) {
    char message[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    char file[] = "TavroCore";
    WriteDebugStr(message, file, line, severity);
}

void CTavroCore::ReportProblem(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == '\n') text[--length] = '\0';
    std::fprintf(stderr, "%s\n", text);
    if (ProblemLog != nullptr) ProblemLog(text);
}

// ---- Core bodies of platform operations the platform may override. ----

int CTavroCore::MoveScreenCursorRelative(int, int) { return 0; }
int CTavroCore::InitializeDevice() { return 0; }
int CTavroCore::PreCalculatePODDeviceData() { return 1; }
int CTavroCore::AdditionalInitialization() { return 0; }
int CTavroCore::MouseEventButtonDownUp() { return 0; }
int CTavroCore::MouseEventButtonUp() { return 0; }
int CTavroCore::MouseEventDrag() { return 0; }
