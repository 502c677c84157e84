// Commands to the receiver.  Each encoder builds one command from values in
// the record: byte 0 the command code, byte 1 the count of payload bytes,
// then the payload, multi-byte values little-endian, 32-bit fields narrowed
// to their low byte.  There is no framing: one SendCommand carries exactly
// one command, and only its exact length is written.
#include "RecordAccess.h"
#include "TavroCore.h"

#include <cstdint>
#include <cstring>

namespace {

using tavro::LoadField;

// Commands without an IR code fit in 256 bytes; the two IR-code commands
// use 512 (code byte, count byte and at most 510 code bytes).
constexpr size_t kCommandBuffer = 256;
constexpr size_t kIRCommandBuffer = 512;
constexpr int kMaxIRCodeBytes = 510;

inline uint8_t LowByte(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

}  // namespace

int CTavroCore::SendStopMotor() {
    unsigned char command[kCommandBuffer] = {0x02, 0x00};
    return SendCommand(command, 2);
}

int CTavroCore::SendStartMotor() {
    unsigned char command[kCommandBuffer] = {0x02, 0x02, LowByte(LoadField(SharedData->MotorValue)),
                                             LoadField(SharedData->MotorSetting)};
    return SendCommand(command, 4);
}

int CTavroCore::SendSetTresh() {
    unsigned char command[kCommandBuffer] = {0x03, 0x01, LoadField(SharedData->Threshold)};
    return SendCommand(command, 3);
}

int CTavroCore::SendSetGain() {
    unsigned char command[kCommandBuffer] = {0x04, 0x01, LoadField(SharedData->Gain)};
    return SendCommand(command, 3);
}

int CTavroCore::SendSetExposure() {
    unsigned char command[kCommandBuffer] = {0x05, 0x01, LoadField(SharedData->Exposure)};
    return SendCommand(command, 3);
}

int CTavroCore::SendLearnCode() {
    unsigned char command[kIRCommandBuffer] = {0x08, 0x02, 0x0A, 0x00};
    return SendCommand(command, 4);
}

int CTavroCore::SendGetIRCode() {
    unsigned char command[kIRCommandBuffer] = {0x09, 0x00};
    return SendCommand(command, 2);
}

// The count byte announces 16-bit words (the length halved, rounded down),
// but every code byte is sent, so an odd code carries one byte more than
// the count says.
int CTavroCore::SendSendIRCode() {
    int length = LoadField(SharedData->IRCodeLength);
    if (length < 0 || length > kMaxIRCodeBytes) {
        Debug(__LINE__, kDebugFailure, "SendSendIRCode: an IR code of %d bytes cannot be sent",
              length);
        return 0;
    }
    unsigned char command[kIRCommandBuffer] = {0x09, static_cast<unsigned char>(length / 2)};
    tavro::LoadBytes(SharedData->IRCode, command + 2, static_cast<size_t>(length));
    return SendCommand(command, static_cast<unsigned long>(length) + 2);
}

int CTavroCore::SendIRBlast() {
    unsigned char command[kCommandBuffer] = {0x0C, 0x00};
    return SendCommand(command, 2);
}

int CTavroCore::SendFrequency() {
    unsigned char command[kCommandBuffer] = {0x0D, 0x01, LowByte(LoadField(SharedData->PODChannel))};
    return SendCommand(command, 3);
}

int CTavroCore::SendGetInfoReq() {
    unsigned char command[kCommandBuffer] = {0x10, 0x01, LowByte(LoadField(SharedData->InfoKind))};
    return SendCommand(command, 3);
}

int CTavroCore::SendDebug() {
    unsigned char command[kCommandBuffer] = {0x12, 0x01, LowByte(LoadField(SharedData->DebugValue))};
    return SendCommand(command, 3);
}

int CTavroCore::SendProgramID() {
    unsigned char command[kCommandBuffer] = {0x14, 0x05};
    tavro::LoadBytes(SharedData->ProgramIDBytes, command + 2, sizeof SharedData->ProgramIDBytes);
    return SendCommand(command, 7);
}

// The receiver expects a zero count here although one byte follows.
int CTavroCore::SendClearHat() {
    unsigned char command[kCommandBuffer] = {0x15, 0x00, 0x02};
    return SendCommand(command, 3);
}

int CTavroCore::SendHID_Mouse() {
    unsigned char command[kCommandBuffer] = {0x17, 0x01, LoadField(SharedData->HIDMouseMode)};
    return SendCommand(command, 3);
}

int CTavroCore::SendHID_Cal() {
    unsigned char command[kCommandBuffer] = {0x18, 0x18};
    for (int k = 0; k < 6; ++k) {
        uint32_t value = static_cast<uint32_t>(LoadField(SharedData->HIDCal[k]));
        for (int b = 0; b < 4; ++b)
            command[2 + 4 * k + b] = static_cast<unsigned char>((value >> (8 * b)) & 0xFF);
    }
    return SendCommand(command, 26);
}

// The level is capped at 8 on the way out; the stored level is left as the
// receiver reported it.
int CTavroCore::SendHID_AntiShake() {
    uint32_t value = static_cast<uint32_t>(LoadField(SharedData->HIDAntiShakeValue));
    uint8_t level = LoadField(SharedData->HIDAntiShakeLevel);
    if (level > 8) level = 8;
    unsigned char command[kCommandBuffer] = {0x19, 0x03, static_cast<unsigned char>(value & 0xFF),
                                             static_cast<unsigned char>((value >> 8) & 0xFF), level};
    return SendCommand(command, 5);
}

int CTavroCore::SendHID_Default() {
    unsigned char command[kCommandBuffer] = {0x1A, 0x01, 0x01};
    return SendCommand(command, 3);
}

int CTavroCore::SendHID_Mappings() {
    unsigned char command[kCommandBuffer] = {0x1B, 0x01, 0x01};
    return SendCommand(command, 3);
}
