/*
 * SharedDeviceState: the one record that every process of the kit shares
 * through the System V segment with key 1103.
 *
 * The layout is a binary format: other processes and other builds map the
 * same bytes, so every field sits at a fixed byte offset and the record is
 * exactly 33432 bytes long.  Every field happens to fall on an offset that is
 * a multiple of its natural alignment, so a plain (unpacked) struct with
 * explicit reserved ranges reproduces the format; the assertions at the end
 * of this file make any drift a compile error.
 *
 * Usable from C and C++.
 */
#ifndef TAVRO_SHARED_DEVICE_STATE_H
#define TAVRO_SHARED_DEVICE_STATE_H

#include <stddef.h>
#include <stdint.h>

#define TAVRO_SHARED_MEMORY_KEY 1103
#define TAVRO_SHARED_MEMORY_SIZE 33432
#define TAVRO_HANDSETS 4
#define TAVRO_HISTORY_ENTRIES 60
#define TAVRO_MIC_BLOCKS 1024
#define TAVRO_MIC_BLOCK_SIZE 20

/* One history group: the values of one calculation pass of one handset. */
typedef struct HistoryEntry {
    double CompX;
    double CompY;
    double Distance;
    double Roll;
    double ThetaX;
} HistoryEntry;

typedef struct SharedDeviceState {
    /* Request flags and small values, 0x0000 to 0x002F. */
    uint8_t HIDMouseAtStart;            /* 0x0000 */
    uint8_t HIDMouseRequest;            /* 0x0001 */
    uint8_t HIDCalRequest;              /* 0x0002 */
    uint8_t HIDAntiShakeRequest;        /* 0x0003 */
    uint8_t HIDDefaultRequest;          /* 0x0004 */
    uint8_t HIDMappingsRequest;         /* 0x0005 */
    uint8_t StopRequest;                /* 0x0006 */
    uint8_t DeviceOpened;               /* 0x0007 */
    uint8_t StartMotorRequest;          /* 0x0008 */
    uint8_t LearnInProgress;            /* 0x0009 */
    uint8_t LearnCodeRequest;           /* 0x000A */
    uint8_t GetIRCodeRequest;           /* 0x000B */
    uint8_t SendIRCodeRequest;          /* 0x000C */
    uint8_t ActivateCursor;             /* 0x000D */
    uint8_t HIDMouseMode;               /* 0x000E */
    uint8_t HIDAntiShakeLevel;          /* 0x000F */
    uint8_t Reserved0010[4];            /* 0x0010 */
    int32_t HIDCal[6];                  /* 0x0014 */
    int32_t HIDAntiShakeValue;          /* 0x002C */

    /* Buffers and command parameters, 0x0030 to 0x0844. */
    uint8_t InfoBuffer[128];            /* 0x0030 */
    char DeviceName[128];               /* 0x00B0 */
    char TavroMenuPath[256];            /* 0x0130 */
    char IniFileName[256];              /* 0x0230 */
    char SettingsDirectory[256];        /* 0x0330 */
    uint8_t IRCode[512];                /* 0x0430 */
    uint8_t MotorSetting;               /* 0x0630 */
    uint8_t Threshold;                  /* 0x0631 */
    uint8_t Gain;                       /* 0x0632 */
    uint8_t Exposure;                   /* 0x0633 */
    uint8_t ImageData[16];              /* 0x0634 */
    uint8_t Reserved0644[1];            /* 0x0644 */
    uint8_t RawData[512];               /* 0x0645 */

    /* Command parameters, request flags and modes, 0x0845 to 0x0A53. */
    uint8_t ProgramIDBytes[5];          /* 0x0845 */
    uint8_t Reserved084A[20];           /* 0x084A */
    uint8_t FrequencyRequest;           /* 0x085E */
    uint8_t DebugRequest;               /* 0x085F */
    uint8_t GetInfoRequest;             /* 0x0860 */
    uint8_t SetExposureRequest;         /* 0x0861 */
    uint8_t SetGainRequest;             /* 0x0862 */
    uint8_t SetThreshRequest;           /* 0x0863 */
    uint8_t IRBlastRequest;             /* 0x0864 */
    uint8_t StopMotorRequest;           /* 0x0865 */
    uint8_t ClearHatRequest;            /* 0x0866 */
    uint8_t ProgramIDRequest;           /* 0x0867 */
    uint8_t TavroMenu;                  /* 0x0868 */
    uint8_t RotationCompensation;       /* 0x0869 */
    uint8_t Stabilize[4];               /* 0x086A */
    uint8_t Reserved086E;               /* 0x086E */
    uint8_t DistanceDecreased[4];       /* 0x086F */
    uint8_t DistanceIncreased[4];       /* 0x0873 */
    uint8_t AngleBelowLimit[4];         /* 0x0877 */
    uint8_t AngleAboveLimit[4];         /* 0x087B */
    uint8_t BorderBottom[4];            /* 0x087F */
    uint8_t BorderTop[4];               /* 0x0883 */
    uint8_t BorderLeft[4];              /* 0x0887 */
    uint8_t BorderRight[4];             /* 0x088B */
    uint8_t DistanceScaling;            /* 0x088F */
    uint8_t MoveEnabled;                /* 0x0890 */
    uint8_t DrawBitmaps;                /* 0x0891 */
    uint8_t DirectPoint;                /* 0x0892 */
    uint8_t Reserved0893;               /* 0x0893 */
    uint8_t SmartPoint;                 /* 0x0894 */
    uint8_t MoveAtBoundary;             /* 0x0895 */
    uint8_t MouseClick;                 /* 0x0896 */
    uint8_t QuickClick;                 /* 0x0897 */
    uint8_t SmartTracking;              /* 0x0898 */
    uint8_t Reserved0899[211];          /* 0x0899 */
    int32_t ClickStillCounter;          /* 0x096C */
    uint8_t Reserved0970[32];           /* 0x0970 */
    int32_t RawDataLength;              /* 0x0990 */
    uint8_t Reserved0994[192];          /* 0x0994 */

    /* Integer state and settings, 0x0A54 to 0x0B17. */
    int32_t BaudRate;                   /* 0x0A54 */
    int32_t XYCounterMax;               /* 0x0A58 */
    int32_t XYCounter[4];               /* 0x0A5C */
    uint8_t Reserved0A6C[8];            /* 0x0A6C */
    int32_t RollCounterMax;             /* 0x0A74 */
    uint8_t Reserved0A78[4];            /* 0x0A78 */
    int32_t ClickStill;                 /* 0x0A7C */
    int32_t InfoLength;                 /* 0x0A80 */
    int32_t InfoKind;                   /* 0x0A84 */
    int32_t DebugValue;                 /* 0x0A88 */
    int32_t ImageWidth;                 /* 0x0A8C */
    int32_t ImageHeight;                /* 0x0A90 */
    int32_t ImageLength;                /* 0x0A94 */
    uint8_t Reserved0A98[4];            /* 0x0A98 */
    int32_t PowerThresh;                /* 0x0A9C */
    int32_t SubframeInterpolation;      /* 0x0AA0 */
    int32_t Power1[4];                  /* 0x0AA4 */
    int32_t Power2[4];                  /* 0x0AB4 */
    int32_t LastError;                  /* 0x0AC4 */
    int32_t IRCodeLength;               /* 0x0AC8 */
    int32_t HistoryCount[4];            /* 0x0ACC */
    int32_t MicWriteIndex;              /* 0x0ADC */
    int32_t SoundCount;                 /* 0x0AE0 */
    uint8_t Reserved0AE4[4];            /* 0x0AE4 */
    int32_t PODChannel;                 /* 0x0AE8 */
    int32_t MotorValue;                 /* 0x0AEC */
    int32_t CurrentUser;                /* 0x0AF0 */
    int32_t PacketUser;                 /* 0x0AF4 */
    int32_t XcalScreen;                 /* 0x0AF8 */
    int32_t YcalScreen;                 /* 0x0AFC */
    uint8_t Reserved0B00[4];            /* 0x0B00 */
    int32_t SleepingFactor;             /* 0x0B04 */
    int32_t Buttons[4];                 /* 0x0B08 */

    /* Floating-point state and settings, 0x0B18 to 0x0D17. */
    double Mx;                          /* 0x0B18 */
    double Bx;                          /* 0x0B20 */
    double My;                          /* 0x0B28 */
    double By;                          /* 0x0B30 */
    double D0;                          /* 0x0B38 */
    double Cpixel;                      /* 0x0B40 */
    double Roll[4];                     /* 0x0B48 */
    double Distance[4];                 /* 0x0B68 */
    double X[4];                        /* 0x0B88 */
    double Y[4];                        /* 0x0BA8 */
    double RawX[4];                     /* 0x0BC8 */
    double RawY[4];                     /* 0x0BE8 */
    double StabX[4];                    /* 0x0C08 */
    double StabY[4];                    /* 0x0C28 */
    uint8_t Reserved0C48[64];           /* 0x0C48 */
    double CompX[4];                    /* 0x0C88 */
    double CompY[4];                    /* 0x0CA8 */
    double DistanceThresh;              /* 0x0CC8 */
    double DistanceCounterMax;          /* 0x0CD0 */
    double StabThresh;                  /* 0x0CD8 */
    double ThetaX[4];                   /* 0x0CE0 */
    double CThetaX;                     /* 0x0D00 */
    double CalDistance;                 /* 0x0D08 */
    double Dmin;                        /* 0x0D10 */

    /* History, 0x0D18 to 0x3297: entry 0 is the newest of each handset. */
    HistoryEntry History[TAVRO_HISTORY_ENTRIES][TAVRO_HANDSETS]; /* 0x0D18 */

    /* Microphone blocks, 0x3298 to the end: the lowest filled block is the newest. */
    uint8_t MicData[TAVRO_MIC_BLOCKS][TAVRO_MIC_BLOCK_SIZE];      /* 0x3298 */
} SharedDeviceState;

#ifdef __cplusplus
#define TAVRO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define TAVRO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define TAVRO_CHECK_OFFSET(field, offset) \
    TAVRO_STATIC_ASSERT(offsetof(SharedDeviceState, field) == (offset), \
                        "SharedDeviceState." #field " is not at " #offset)

TAVRO_STATIC_ASSERT(sizeof(HistoryEntry) == 40, "a history group is five doubles");
TAVRO_STATIC_ASSERT(sizeof(SharedDeviceState) == TAVRO_SHARED_MEMORY_SIZE,
                    "SharedDeviceState must be exactly 33432 bytes");

TAVRO_CHECK_OFFSET(HIDMouseAtStart, 0x0000);
TAVRO_CHECK_OFFSET(HIDMouseRequest, 0x0001);
TAVRO_CHECK_OFFSET(HIDCalRequest, 0x0002);
TAVRO_CHECK_OFFSET(HIDAntiShakeRequest, 0x0003);
TAVRO_CHECK_OFFSET(HIDDefaultRequest, 0x0004);
TAVRO_CHECK_OFFSET(HIDMappingsRequest, 0x0005);
TAVRO_CHECK_OFFSET(StopRequest, 0x0006);
TAVRO_CHECK_OFFSET(DeviceOpened, 0x0007);
TAVRO_CHECK_OFFSET(StartMotorRequest, 0x0008);
TAVRO_CHECK_OFFSET(LearnInProgress, 0x0009);
TAVRO_CHECK_OFFSET(LearnCodeRequest, 0x000A);
TAVRO_CHECK_OFFSET(GetIRCodeRequest, 0x000B);
TAVRO_CHECK_OFFSET(SendIRCodeRequest, 0x000C);
TAVRO_CHECK_OFFSET(ActivateCursor, 0x000D);
TAVRO_CHECK_OFFSET(HIDMouseMode, 0x000E);
TAVRO_CHECK_OFFSET(HIDAntiShakeLevel, 0x000F);
TAVRO_CHECK_OFFSET(Reserved0010, 0x0010);
TAVRO_CHECK_OFFSET(HIDCal, 0x0014);
TAVRO_CHECK_OFFSET(HIDAntiShakeValue, 0x002C);
TAVRO_CHECK_OFFSET(InfoBuffer, 0x0030);
TAVRO_CHECK_OFFSET(DeviceName, 0x00B0);
TAVRO_CHECK_OFFSET(TavroMenuPath, 0x0130);
TAVRO_CHECK_OFFSET(IniFileName, 0x0230);
TAVRO_CHECK_OFFSET(SettingsDirectory, 0x0330);
TAVRO_CHECK_OFFSET(IRCode, 0x0430);
TAVRO_CHECK_OFFSET(MotorSetting, 0x0630);
TAVRO_CHECK_OFFSET(Threshold, 0x0631);
TAVRO_CHECK_OFFSET(Gain, 0x0632);
TAVRO_CHECK_OFFSET(Exposure, 0x0633);
TAVRO_CHECK_OFFSET(ImageData, 0x0634);
TAVRO_CHECK_OFFSET(Reserved0644, 0x0644);
TAVRO_CHECK_OFFSET(RawData, 0x0645);
TAVRO_CHECK_OFFSET(ProgramIDBytes, 0x0845);
TAVRO_CHECK_OFFSET(Reserved084A, 0x084A);
TAVRO_CHECK_OFFSET(FrequencyRequest, 0x085E);
TAVRO_CHECK_OFFSET(DebugRequest, 0x085F);
TAVRO_CHECK_OFFSET(GetInfoRequest, 0x0860);
TAVRO_CHECK_OFFSET(SetExposureRequest, 0x0861);
TAVRO_CHECK_OFFSET(SetGainRequest, 0x0862);
TAVRO_CHECK_OFFSET(SetThreshRequest, 0x0863);
TAVRO_CHECK_OFFSET(IRBlastRequest, 0x0864);
TAVRO_CHECK_OFFSET(StopMotorRequest, 0x0865);
TAVRO_CHECK_OFFSET(ClearHatRequest, 0x0866);
TAVRO_CHECK_OFFSET(ProgramIDRequest, 0x0867);
TAVRO_CHECK_OFFSET(TavroMenu, 0x0868);
TAVRO_CHECK_OFFSET(RotationCompensation, 0x0869);
TAVRO_CHECK_OFFSET(Stabilize, 0x086A);
TAVRO_CHECK_OFFSET(Reserved086E, 0x086E);
TAVRO_CHECK_OFFSET(DistanceDecreased, 0x086F);
TAVRO_CHECK_OFFSET(DistanceIncreased, 0x0873);
TAVRO_CHECK_OFFSET(AngleBelowLimit, 0x0877);
TAVRO_CHECK_OFFSET(AngleAboveLimit, 0x087B);
TAVRO_CHECK_OFFSET(BorderBottom, 0x087F);
TAVRO_CHECK_OFFSET(BorderTop, 0x0883);
TAVRO_CHECK_OFFSET(BorderLeft, 0x0887);
TAVRO_CHECK_OFFSET(BorderRight, 0x088B);
TAVRO_CHECK_OFFSET(DistanceScaling, 0x088F);
TAVRO_CHECK_OFFSET(MoveEnabled, 0x0890);
TAVRO_CHECK_OFFSET(DrawBitmaps, 0x0891);
TAVRO_CHECK_OFFSET(DirectPoint, 0x0892);
TAVRO_CHECK_OFFSET(Reserved0893, 0x0893);
TAVRO_CHECK_OFFSET(SmartPoint, 0x0894);
TAVRO_CHECK_OFFSET(MoveAtBoundary, 0x0895);
TAVRO_CHECK_OFFSET(MouseClick, 0x0896);
TAVRO_CHECK_OFFSET(QuickClick, 0x0897);
TAVRO_CHECK_OFFSET(SmartTracking, 0x0898);
TAVRO_CHECK_OFFSET(Reserved0899, 0x0899);
TAVRO_CHECK_OFFSET(ClickStillCounter, 0x096C);
TAVRO_CHECK_OFFSET(Reserved0970, 0x0970);
TAVRO_CHECK_OFFSET(RawDataLength, 0x0990);
TAVRO_CHECK_OFFSET(Reserved0994, 0x0994);
TAVRO_CHECK_OFFSET(BaudRate, 0x0A54);
TAVRO_CHECK_OFFSET(XYCounterMax, 0x0A58);
TAVRO_CHECK_OFFSET(XYCounter, 0x0A5C);
TAVRO_CHECK_OFFSET(Reserved0A6C, 0x0A6C);
TAVRO_CHECK_OFFSET(RollCounterMax, 0x0A74);
TAVRO_CHECK_OFFSET(Reserved0A78, 0x0A78);
TAVRO_CHECK_OFFSET(ClickStill, 0x0A7C);
TAVRO_CHECK_OFFSET(InfoLength, 0x0A80);
TAVRO_CHECK_OFFSET(InfoKind, 0x0A84);
TAVRO_CHECK_OFFSET(DebugValue, 0x0A88);
TAVRO_CHECK_OFFSET(ImageWidth, 0x0A8C);
TAVRO_CHECK_OFFSET(ImageHeight, 0x0A90);
TAVRO_CHECK_OFFSET(ImageLength, 0x0A94);
TAVRO_CHECK_OFFSET(Reserved0A98, 0x0A98);
TAVRO_CHECK_OFFSET(PowerThresh, 0x0A9C);
TAVRO_CHECK_OFFSET(SubframeInterpolation, 0x0AA0);
TAVRO_CHECK_OFFSET(Power1, 0x0AA4);
TAVRO_CHECK_OFFSET(Power2, 0x0AB4);
TAVRO_CHECK_OFFSET(LastError, 0x0AC4);
TAVRO_CHECK_OFFSET(IRCodeLength, 0x0AC8);
TAVRO_CHECK_OFFSET(HistoryCount, 0x0ACC);
TAVRO_CHECK_OFFSET(MicWriteIndex, 0x0ADC);
TAVRO_CHECK_OFFSET(SoundCount, 0x0AE0);
TAVRO_CHECK_OFFSET(Reserved0AE4, 0x0AE4);
TAVRO_CHECK_OFFSET(PODChannel, 0x0AE8);
TAVRO_CHECK_OFFSET(MotorValue, 0x0AEC);
TAVRO_CHECK_OFFSET(CurrentUser, 0x0AF0);
TAVRO_CHECK_OFFSET(PacketUser, 0x0AF4);
TAVRO_CHECK_OFFSET(XcalScreen, 0x0AF8);
TAVRO_CHECK_OFFSET(YcalScreen, 0x0AFC);
TAVRO_CHECK_OFFSET(Reserved0B00, 0x0B00);
TAVRO_CHECK_OFFSET(SleepingFactor, 0x0B04);
TAVRO_CHECK_OFFSET(Buttons, 0x0B08);
TAVRO_CHECK_OFFSET(Mx, 0x0B18);
TAVRO_CHECK_OFFSET(Bx, 0x0B20);
TAVRO_CHECK_OFFSET(My, 0x0B28);
TAVRO_CHECK_OFFSET(By, 0x0B30);
TAVRO_CHECK_OFFSET(D0, 0x0B38);
TAVRO_CHECK_OFFSET(Cpixel, 0x0B40);
TAVRO_CHECK_OFFSET(Roll, 0x0B48);
TAVRO_CHECK_OFFSET(Distance, 0x0B68);
TAVRO_CHECK_OFFSET(X, 0x0B88);
TAVRO_CHECK_OFFSET(Y, 0x0BA8);
TAVRO_CHECK_OFFSET(RawX, 0x0BC8);
TAVRO_CHECK_OFFSET(RawY, 0x0BE8);
TAVRO_CHECK_OFFSET(StabX, 0x0C08);
TAVRO_CHECK_OFFSET(StabY, 0x0C28);
TAVRO_CHECK_OFFSET(Reserved0C48, 0x0C48);
TAVRO_CHECK_OFFSET(CompX, 0x0C88);
TAVRO_CHECK_OFFSET(CompY, 0x0CA8);
TAVRO_CHECK_OFFSET(DistanceThresh, 0x0CC8);
TAVRO_CHECK_OFFSET(DistanceCounterMax, 0x0CD0);
TAVRO_CHECK_OFFSET(StabThresh, 0x0CD8);
TAVRO_CHECK_OFFSET(ThetaX, 0x0CE0);
TAVRO_CHECK_OFFSET(CThetaX, 0x0D00);
TAVRO_CHECK_OFFSET(CalDistance, 0x0D08);
TAVRO_CHECK_OFFSET(Dmin, 0x0D10);
TAVRO_CHECK_OFFSET(History, 0x0D18);
TAVRO_CHECK_OFFSET(MicData, 0x3298);

#endif /* TAVRO_SHARED_DEVICE_STATE_H */
