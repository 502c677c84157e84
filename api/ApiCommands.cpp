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

using tavro::LoadField;
using tavro::RaiseRequest;
using tavro::StoreField;
using tavro::WithdrawRequest;

int Clamp(int value, int low, int high) { return std::min(std::max(value, low), high); }

// A recorded length cut to what the field holds.
int Bounded(int32_t length, size_t fieldSize) {
    return Clamp(length, 0, static_cast<int>(fieldSize));
}

// Asks the receiver for one kind of information and copies the reply.
int FetchInfo(int kind, void* out) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->InfoKind, kind);
    RaiseRequest(r->GetInfoRequest);
    TavroLinux->TV_Sleep(kReplyWaitMicroseconds);
    // Withdrawn if no daemon took it up meanwhile, so that it does not go
    // out later (a receiver plugged back in, a daemon started afterwards)
    // and answer another caller's fetch with the wrong kind of reply.
    WithdrawRequest(r->GetInfoRequest);
    int length = Bounded(LoadField(r->InfoLength), sizeof r->InfoBuffer);
    if (out != nullptr) tavro::LoadBytes(r->InfoBuffer, out, static_cast<size_t>(length));
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
    RaiseRequest(r->IRBlastRequest);
    return 1;
}

int TV_LearnCode(void) {
    if (SharedDeviceState* r = Record()) RaiseRequest(r->LearnCodeRequest);
    return 0;
}

int TV_SendIRCode(const unsigned char* code, int length) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    // The command carries at most 510 code bytes.
    if (length < 0 || length > kMaxIRCodeBytes || (code == nullptr && length > 0)) return -1;
    uint8_t bytes[sizeof r->IRCode] = {};
    if (length > 0) std::memcpy(bytes, code, static_cast<size_t>(length));
    tavro::StoreBytes(r->IRCode, bytes, sizeof bytes);
    StoreField(r->IRCodeLength, length);
    RaiseRequest(r->SendIRCodeRequest);
    return 1;
}

int TV_StartMotor(int mode, int level, int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    int modeBits = mode == 25 ? 0x00 : mode == 50 ? 0x40 : mode == 75 ? 0x80 : 0xC0;
    int levelBits = Clamp(level, 0, 2268) / 36;
    StoreField(r->MotorSetting, static_cast<uint8_t>(modeBits + levelBits));
    StoreField(r->MotorValue, value);
    RaiseRequest(r->StartMotorRequest);
    return 1;
}

// Stopping the motor is not requested from here; the record's stop-motor
// flag is left to other processes.
int TV_StopMotor(void) { return 1; }

int TV_SetThreshold(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->Threshold, static_cast<uint8_t>(Clamp(value, 0, 127)));
    RaiseRequest(r->SetThreshRequest);
    return 1;
}

int TV_SetGain(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->Gain, static_cast<uint8_t>(Clamp(value, 0, 63)));
    RaiseRequest(r->SetGainRequest);
    return 1;
}

int TV_SetExposure(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->Exposure, static_cast<uint8_t>(Clamp(value, 0, 255)));
    RaiseRequest(r->SetExposureRequest);
    return 1;
}

int TV_SetPODChannel(int channel) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->PODChannel, channel);
    RaiseRequest(r->FrequencyRequest);
    return 1;
}

int TV_Debug(int value) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->DebugValue, value);
    RaiseRequest(r->DebugRequest);
    return 1;
}

int TV_ClearHAT(void) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    RaiseRequest(r->ClearHatRequest);
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
    for (int i = 0; i < 5; ++i) StoreField(r->ProgramIDBytes[i], static_cast<uint8_t>(values[i] & 0xFF));
    RaiseRequest(r->ProgramIDRequest);
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
    RaiseRequest(r->GetIRCodeRequest);
    TavroLinux->TV_Sleep(kReplyWaitMicroseconds);
    WithdrawRequest(r->GetIRCodeRequest);  // as in FetchInfo
    int count = Bounded(LoadField(r->IRCodeLength), sizeof r->IRCode);
    if (out != nullptr) tavro::LoadBytes(r->IRCode, out, static_cast<size_t>(count));
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
    int count = Bounded(LoadField(r->ImageLength), sizeof r->ImageData);
    if (first != nullptr) *first = LoadField(r->ImageWidth);
    if (second != nullptr) *second = LoadField(r->ImageHeight);
    if (length != nullptr) *length = count;
    if (out != nullptr) tavro::LoadBytes(r->ImageData, out, static_cast<size_t>(count));
    return 1;
}

int TV_GetRawData(int* length, void* out) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    int count = Bounded(LoadField(r->RawDataLength), sizeof r->RawData);
    if (out != nullptr) tavro::LoadBytes(r->RawData, out, static_cast<size_t>(count));
    if (length != nullptr) *length = count;
    return 1;
}

int TV_GetSoundCount(void) {
    SharedDeviceState* r = Record();
    return r != nullptr ? LoadField(r->SoundCount) : 0;
}

int TV_GetRawMicArray(void* out) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    if (out != nullptr) tavro::LoadBytes(r->MicData[0], out, TAVRO_MIC_BLOCK_SIZE);
    StoreField(r->SoundCount, 0);
    return 1;
}

// The `count` newest blocks (1 to 1023), oldest first, 16 samples each.
int TV_GetMicArray(short* out, int count, int clear) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    if (count < 1 || count > kMaxMicBlocks) return -1;
    StoreField(r->SoundCount, 0);
    if (out != nullptr) {
        for (int j = 0; j < count; ++j) {
            uint8_t block[TAVRO_MIC_BLOCK_SIZE];
            tavro::LoadBytes(r->MicData[count - 1 - j], block, sizeof block);
            UnpackMicBlock(block, out + 16 * j);
        }
    }
    if (clear == 1) tavro::FillBytes(r->MicData, 0, sizeof r->MicData);
    return 1;
}

int TV_SendKeyEvent(int keysym, int unused1, int mode, int unused2) {
    (void)unused1;
    (void)unused2;
    if (Record() == nullptr) return 0;
    // 0 as well for a key that was not typed, rather than a success the
    // caller cannot tell from one.
    return TavroLinux->SendKey(keysym, mode) ? 1 : 0;
}

int TV_MouseClick(int on) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->MouseClick, FlagFrom(on));
    return 1;
}

int TV_QuickClick(int on) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->QuickClick, FlagFrom(on));
    return 1;
}

int TV_SetDrawBitmaps(int on) {
    SharedDeviceState* r = Record();
    if (r == nullptr) return 0;
    StoreField(r->DrawBitmaps, FlagFrom(on));
    return on;
}

}  // extern "C"
