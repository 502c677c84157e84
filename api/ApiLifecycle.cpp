// The API's globals, creation of the process's platform object, stopping the
// device and the error getters.
#include "ApiRecord.h"
#include "DeviceRunMarker.h"

#include <mutex>
#include <new>

using tavro::api::Record;

CTavroLinux* TavroLinux = nullptr;
int g_ErrorNumber = 0;
int i_ErrorNumber = 0;

namespace {

std::mutex g_initializeMutex;

enum class StartUp { Initialize, Attach };

int CreateKitObject(StartUp how) {
    std::lock_guard<std::mutex> lock(g_initializeMutex);
    // One object per process: a second call keeps the first.
    if (TavroLinux != nullptr) return 0;

    CTavroLinux* object = new (std::nothrow) CTavroLinux();
    if (object == nullptr) return 1;
    // A process that starts up while a device runs on the record only
    // attaches: the start values would zero the running device's positions
    // (a smart-mode pointer jumps), cancel other clients' requests and put
    // the running settings back to the file's for a moment.
    const bool deviceRuns = tavro::DeviceRunsOn(CTavroLinux::SharedMemoryKey);
    if (how == StartUp::Attach || deviceRuns)
        object->Attach(deviceRuns);
    else
        object->Initialize();
    // Without an attached record nothing can work; drop the object so that a
    // later call may try again, and say so.
    if (object->SharedData == nullptr) {
        delete object;
        return 1;
    }
    TavroLinux = object;
    return 0;
}

}  // namespace

extern "C" {

int TV_Initialize(void) { return CreateKitObject(StartUp::Initialize); }

int TV_Attach(void) { return CreateKitObject(StartUp::Attach); }

int TV_StopDevice(void) {
    // The device's threads may run in this process and look at the flag.
    if (SharedDeviceState* r = Record()) tavro::SetStopRequest(r, true);
    return 1;
}

int TV_GetLatestError(void) { return g_ErrorNumber; }

int TV_GetErrorString(void) { return 0; }

int TV_GetLastError(void) {
    SharedDeviceState* r = Record();
    return r != nullptr ? tavro::LoadField(r->LastError) : 0;
}

int TV_GetCurrentUser(void) {
    SharedDeviceState* r = Record();
    return r != nullptr ? tavro::LoadField(r->CurrentUser) : 0;
}

}  // extern "C"
