// Receiver commands and diagnostics.  A command stores its values in the
// record and raises its request flag last; the command writer of the
// process that owns the receiver sends it within about 50 ms.  Fetches that
// need a reply raise the request, wait 200 ms and copy what the record then
// holds, never more than the field's size whatever length is recorded.
#include "ApiRecord.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

using tavro::api::FlagFrom;
using tavro::api::Record;

namespace {

constexpr int kReplyWaitMicroseconds = 200000;
constexpr int kMaxIRCodeBytes = 510;
constexpr int kMaxMicBlocks = TAVRO_MIC_BLOCKS - 1;

// The values of a command are visible before its flag (also to the writer
// in another process mapping the same segment): a release store, which the
// writer's acquiring exchange of the flag pairs with.  (A fence before a
// relaxed store orders the same, but ThreadSanitizer does not see fences
// and took every command's values for a race with its encoder.)
void Raise(uint8_t& flag) { __atomic_store_n(&flag, 1, __ATOMIC_RELEASE); }

// A fetch that has stopped waiting takes its request back if no daemon took
// it up meanwhile, so that it does not go out later (a receiver plugged back
// in, a daemon started afterwards) and answer another caller's fetch with
// the wrong kind of reply.  The command writer marks a flag it has taken up
// with 2, which this leaves alone.
void WithdrawIfPending(uint8_t& flag) {
    uint8_t expected = 1;
    __atomic_compare_exchange_n(&flag, &expected, static_cast<uint8_t>(0), false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
}

int Clamp(int value, int low, int high) { return std::min(std::max(value, low), high); }

// A recorded length cut to what the field holds.
int Bounded(int32_t length, size_t fieldSize) {
    return Clamp(length, 0, static_cast<int>(fieldSize));
}

// Asks the receiver for one kind of information and copies the reply.
int FetchInfo(int kind, void* out) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->InfoKind = kind;
    Raise(r->GetInfoRequest);
    TavroLinux->TV_Sleep(kReplyWaitMicroseconds);
    WithdrawIfPending(r->GetInfoRequest);
    int length = Bounded(r->InfoLength, sizeof r->InfoBuffer);
    if (out != nullptr) std::memcpy(out, r->InfoBuffer, static_cast<size_t>(length));
    return 1;
}

enum InfoKind {
    kHandheldCopyright = 0,
    kHandheldVersion = 1,
    kHandheldDate = 2,
    kPODCopyright = 3,
    kPODVersion = 4,
    kPODDate = 5,
    kAssignmentTable = 6,
    kRFReceiveStrength = 7,
    kPODChannel = 8,
    kEnergyMap = 9,
};

// Sample 4g+k of a block: the signed upper byte of sample k in group g
// times 4, plus its two low bits from the group's fifth byte.
void UnpackMicBlock(const uint8_t* block, short* samples) {
    for (int g = 0; g < 4; ++g) {
        const uint8_t* group = block + 5 * g;
        for (int k = 0; k < 4; ++k) {
            int upper = static_cast<int8_t>(group[k]);
            int lower = (group[4] >> (2 * k)) & 3;
            samples[4 * g + k] = static_cast<short>(upper * 4 + lower);
        }
    }
}

}  // namespace

extern "C" {

int TV_SendIRBlast(void) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    Raise(r->IRBlastRequest);
    return 1;
}

int TV_LearnCode(void) {
    if (SharedDeviceState* r = Record()) Raise(r->LearnCodeRequest);
    return 0;
}

int TV_SendIRCode(const unsigned char* code, int length) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    // The command carries at most 510 code bytes.
    if (length < 0 || length > kMaxIRCodeBytes || (code == nullptr && length > 0)) return -1;
    std::memset(r->IRCode, 0, sizeof r->IRCode);
    if (length > 0) std::memcpy(r->IRCode, code, static_cast<size_t>(length));
    r->IRCodeLength = length;
    Raise(r->SendIRCodeRequest);
    return 1;
}

int TV_StartMotor(int mode, int level, int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    int modeBits = mode == 25 ? 0x00 : mode == 50 ? 0x40 : mode == 75 ? 0x80 : 0xC0;
    int levelBits = Clamp(level, 0, 2268) / 36;
    r->MotorSetting = static_cast<uint8_t>(modeBits + levelBits);
    r->MotorValue = value;
    Raise(r->StartMotorRequest);
    return 1;
}

// Stopping the motor is not requested from here; the record's stop-motor
// flag is left to other processes.
int TV_StopMotor(void) { return 1; }

int TV_SetThreshold(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->Threshold = static_cast<uint8_t>(Clamp(value, 0, 127));
    Raise(r->SetThreshRequest);
    return 1;
}

int TV_SetGain(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->Gain = static_cast<uint8_t>(Clamp(value, 0, 63));
    Raise(r->SetGainRequest);
    return 1;
}

int TV_SetExposure(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->Exposure = static_cast<uint8_t>(Clamp(value, 0, 255));
    Raise(r->SetExposureRequest);
    return 1;
}

int TV_SetPODChannel(int channel) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->PODChannel = channel;
    Raise(r->FrequencyRequest);
    return 1;
}

int TV_Debug(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->DebugValue = value;
    Raise(r->DebugRequest);
    return 1;
}

int TV_ClearHAT(void) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    Raise(r->ClearHatRequest);
    return 1;
}

int TV_ProgramID(int b0, int b1, int b2, int b3, int b4) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    // Only the low byte of the last value is checked (and sent).
    if ((b4 & 0xFF) > 3) {
        g_ErrorNumber = 3;
        i_ErrorNumber = 1;
        return -1;
    }
    const int values[5] = {b0, b1, b2, b3, b4};
    for (int i = 0; i < 5; ++i) r->ProgramIDBytes[i] = static_cast<uint8_t>(values[i] & 0xFF);
    Raise(r->ProgramIDRequest);
    return 1;
}

int TV_GetHandheldCopyright(void* out) { return FetchInfo(kHandheldCopyright, out); }
int TV_GetHandheldVersion(void* out) { return FetchInfo(kHandheldVersion, out); }
int TV_GetHandheldDate(void* out) { return FetchInfo(kHandheldDate, out); }
int TV_GetPODCopyright(void* out) { return FetchInfo(kPODCopyright, out); }
int TV_GetPODVersion(void* out) { return FetchInfo(kPODVersion, out); }
int TV_GetPODDate(void* out) { return FetchInfo(kPODDate, out); }
int TV_GetHandsetAssignmentTable(void* out) { return FetchInfo(kAssignmentTable, out); }
int TV_GetRFReceiveStrength(void* out) { return FetchInfo(kRFReceiveStrength, out); }
int TV_GetPODChannel(void* out) { return FetchInfo(kPODChannel, out); }
int TV_EnergyMap(void* out) { return FetchInfo(kEnergyMap, out); }

int TV_GetIRCode(void* out, int* length) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    Raise(r->GetIRCodeRequest);
    TavroLinux->TV_Sleep(kReplyWaitMicroseconds);
    WithdrawIfPending(r->GetIRCodeRequest);
    int count = Bounded(r->IRCodeLength, sizeof r->IRCode);
    if (out != nullptr) std::memcpy(out, r->IRCode, static_cast<size_t>(count));
    if (length != nullptr) *length = count;
    return 1;
}

int TV_TavroInfo(void* handheldCopyright, void* handheldVersion, void* handheldDate,
                 void* podCopyright, void* podVersion, void* podDate, void* assignmentTable) {
    if (Record() == nullptr) return 0;
    TV_GetHandheldCopyright(handheldCopyright);
    TV_GetHandheldVersion(handheldVersion);
    TV_GetHandheldDate(handheldDate);
    TV_GetPODCopyright(podCopyright);
    TV_GetPODVersion(podVersion);
    TV_GetPODDate(podDate);
    TV_GetHandsetAssignmentTable(assignmentTable);
    return 1;
}

int TV_Image(int* first, int* second, int* length, void* out) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    int count = Bounded(r->ImageLength, sizeof r->ImageData);
    if (first != nullptr) *first = r->ImageWidth;
    if (second != nullptr) *second = r->ImageHeight;
    if (length != nullptr) *length = count;
    if (out != nullptr) std::memcpy(out, r->ImageData, static_cast<size_t>(count));
    return 1;
}

int TV_GetRawData(int* length, void* out) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    int count = Bounded(r->RawDataLength, sizeof r->RawData);
    if (out != nullptr) std::memcpy(out, r->RawData, static_cast<size_t>(count));
    if (length != nullptr) *length = count;
    return 1;
}

int TV_GetSoundCount(void) {
    SharedDeviceState* r = Record();
    return r != nullptr ? r->SoundCount : 0;
}

int TV_GetRawMicArray(void* out) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    if (out != nullptr) std::memcpy(out, r->MicData[0], TAVRO_MIC_BLOCK_SIZE);
    r->SoundCount = 0;
    return 1;
}

// The `count` newest blocks (1 to 1023), oldest first, 16 samples each.
int TV_GetMicArray(short* out, int count, int clear) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    if (count < 1 || count > kMaxMicBlocks) return -1;
    r->SoundCount = 0;
    if (out != nullptr) {
        for (int j = 0; j < count; ++j) {
            uint8_t block[TAVRO_MIC_BLOCK_SIZE];
            std::memcpy(block, r->MicData[count - 1 - j], sizeof block);
            UnpackMicBlock(block, out + 16 * j);
        }
    }
    if (clear == 1) std::memset(r->MicData, 0, sizeof r->MicData);
    return 1;
}

int TV_SendKeyEvent(int keysym, int unused1, int mode, int unused2) {
    if (Record() == nullptr) return 0;
    TavroLinux->TV_SendKeyEvent(keysym, unused1, mode, unused2);
    return 1;
}

int TV_MouseClick(int on) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->MouseClick = FlagFrom(on);
    return 1;
}

int TV_QuickClick(int on) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->QuickClick = FlagFrom(on);
    return 1;
}

int TV_SetDrawBitmaps(int on) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    r->DrawBitmaps = FlagFrom(on);
    return on;
}

}  // extern "C"
