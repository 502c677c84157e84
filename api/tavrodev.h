/*
 * tavrodev.h: the flat C API of the Tavro driver kit.
 *
 * Call TV_Initialize() once; it attaches the kit's shared record (creating
 * it and the settings file when needed).  Then read positions and buttons,
 * change settings and request receiver commands from any thread.  The
 * process that owns the receiver (the tavrod daemon) runs the device; every
 * other process sees its results through the shared record.
 *
 * Rules common to every function below:
 *  - Before a successful TV_Initialize (or after a failed one) a function
 *    that needs the kit returns 0 (0.0 for doubles) and touches nothing.
 *  - A handset index `user` outside 0..3 makes a getter return 0 and a
 *    setter or decoder do nothing.  A null output pointer is left alone.
 *  - Getters never block; functions that ask the receiver for a reply wait
 *    200 ms and then copy whatever the record holds.
 */
#ifndef TAVRODEV_H
#define TAVRODEV_H

#ifdef __cplusplus
class CTavroLinux;
extern "C" {
#else
struct CTavroLinux;
#endif

/* ---- Globals ---- */
#ifdef __cplusplus
extern CTavroLinux* TavroLinux; /* the process's platform object, or null */
#else
extern struct CTavroLinux* TavroLinux;
#endif
extern int g_ErrorNumber; /* latest API error (3: bad TV_ProgramID argument), 0 if none */
extern int i_ErrorNumber; /* 1 once g_ErrorNumber has been set */

/* ---- Lifecycle and errors ---- */
/* Creates the kit's object and attaches the shared record.  Returns 0 on
 * success, 1 when no usable record could be had (see the system log).  A
 * second call in the same process keeps the first object and returns 0.
 * When no device runs on the record, it stores the record's start values
 * and reads the settings file into it, creating the file with the defaults
 * when there is none.  While a device runs (tavrod), it attaches as
 * TV_Attach does, so that a starting program never disturbs it. */
int TV_Initialize(void);
/* Attaches the shared record for a program that looks and asks for
 * commands: it changes nothing a running device or other programs rely on
 * (positions, buttons, histories, the active handset, the pointing mode,
 * pending requests and their values, the settings in use) and writes no
 * file.  A record no process has used yet gets its start values; the
 * settings file's values go into the record only when no device runs.
 * Returns as TV_Initialize; either call keeps the first object. */
int TV_Attach(void);
/* Asks the device to stop (in whichever process runs it).  Returns 1. */
int TV_StopDevice(void);
int TV_GetLatestError(void);  /* g_ErrorNumber */
int TV_GetErrorString(void);  /* always 0: there are no error texts */
int TV_GetLastError(void);    /* last device error: 3 open failed, 4 write failed, else receiver code */
int TV_GetCurrentUser(void);  /* index 0..3 of the handset that drives the pointer */

/* ---- Per-handset tracking getters ---- */
double TV_GetX(int user);        /* pointer x in screen pixels */
double TV_GetY(int user);        /* pointer y in screen pixels */
double TV_GetRawX(int user);     /* aiming point x in camera pixels */
double TV_GetRawY(int user);
double TV_GetRoll(int user);     /* radians */
double TV_GetDistance(int user);
double TV_GetThetaX(int user);
int TV_GetButton(int user);      /* raw active-low button word */
int TV_GetXYCounter(int user);
int TV_GetPower1(int user);
int TV_GetPower2(int user);
int TV_GetStabilize(int user);

/* ---- Scalar getters ---- */
int TV_GetDataPacketInterval(void); /* always 1 */
int TV_GetSleepingFactor(void);
int TV_GetBaudRate(void);
int TV_GetXYCounterMax(void);
int TV_GetSubframeInterpolation(void);
int TV_GetClickStill(void);
int TV_GetActivateCursor(void);
int TV_GetRotationCompensation(void);
int TV_GetIRActive(void);           /* 1 while an infrared code is being learned */
double TV_GetD0(void);
double TV_GetMx(void);
double TV_GetBx(void);
double TV_GetMy(void);
double TV_GetBy(void);
double TV_GetCpixel(void);
double TV_GetStabThresh(void);

/* ---- Getters with outputs; each returns 1 (0 without the kit) ---- */
int TV_GetCalScreen(int* width, int* height);
int TV_GetCalDistance(double* out);
int TV_GetDmin(double* out);
int TV_GetTavroMenu(char* out);
int TV_GetTavroMenuPath(char* out); /* out must hold 256 bytes */

/* ---- Averages over the newest `count` (1..60) history entries ---- */
double TV_GetAverageDistance(int count, int user);
double TV_GetAverageRoll(int count, int user);
double TV_GetAverageThetaX(int count, int user);

/* ---- Button decoders: each output gets 1 when its button is held ---- */
int TV_GetButtons(char* b2, char* b1, char* b0, char* b5, char* b4, char* b3,
                  char* b8, char* b7, char* b6, char* b9, char* b12, char* b15,
                  int user);
int TV_GetButtonsExt(char* b2, char* b1, char* b0, char* b5, char* b4, char* b3,
                     char* b8, char* b7, char* b6, char* b9, char* b10, char* b11,
                     char* b12, char* b15, int user);
int TV_GetClickWheel(char* b0, char* b1, char* b2, char* b3, char* b4, int* wheel,
                     char* b12, char* b15, int user);
int TV_GetVirtualButtons(char* angleBelow, char* angleAbove, char* distanceDecreased,
                         char* distanceIncreased, char* borderBottom, char* borderTop,
                         char* borderLeft, char* borderRight, int user);

/* ---- Setters of the running system (the settings file is not written) ---- */
int TV_SetCalDistance(double value);
int TV_SetDirectPoint(void);
int TV_SetSmartPoint(void);
int TV_SetGamePoint(void);
int TV_MoveAtBoundary(int on);
int TV_SmartTracking(int value);

/* ---- Setters of persistent settings: store, then rewrite the settings file.
 * Those returning the file write's result return 0 on success and the XML
 * writer's error code (15 or 16) when the file could not be written. ---- */
int TV_SetMx(double value);
int TV_SetBx(double value);
int TV_SetMy(double value);
int TV_SetBy(double value);
int TV_SetD0(double value);
int TV_SetCpixel(double value);
int TV_SetDmin(double value);
int TV_SetStabThresh(double value);
int TV_SetBaudRate(int value);
int TV_SetSleepingFactor(int value);
int TV_SetClickStill(int value);
int TV_SetSubframeInterpolation(int value);
int TV_SetCalScreen(int width, int height);
int TV_SetRotationCompensation(int on);
int TV_SetActivateCursor(int on);         /* on only when exactly 1 */
int TV_SetDistanceScaling(int value);     /* low byte stored unchanged */
int TV_SetStabilize(int on, int user);
int TV_SetXYCounterMax(int value);        /* returns 1 */
int TV_SetTavroMenu(int value);           /* returns 1 */
int TV_SetTavroMenuPath(const char* path);/* returns 1; longer paths are cut to 255 */

/* ---- Receiver commands: store parameters, raise the request ---- */
int TV_SendIRBlast(void);
int TV_LearnCode(void);                                   /* returns 0 */
int TV_SendIRCode(const unsigned char* code, int length); /* 1, or -1 for a length outside 0..510 */
int TV_StartMotor(int mode, int level, int value);
int TV_StopMotor(void);
int TV_SetThreshold(int value);   /* clamped to 0..127 */
int TV_SetGain(int value);        /* clamped to 0..63 */
int TV_SetExposure(int value);    /* clamped to 0..255 */
int TV_SetPODChannel(int channel);
int TV_Debug(int value);
int TV_ClearHAT(void);
int TV_ProgramID(int b0, int b1, int b2, int b3, int b4); /* -1 and error 3 when b4's low byte > 3 */

/* ---- Fetches that ask the receiver and wait 200 ms; `out` needs 128 bytes ---- */
int TV_GetHandheldCopyright(void* out);
int TV_GetHandheldVersion(void* out);
int TV_GetHandheldDate(void* out);
int TV_GetPODCopyright(void* out);
int TV_GetPODVersion(void* out);
int TV_GetPODDate(void* out);
int TV_GetHandsetAssignmentTable(void* out);
int TV_GetRFReceiveStrength(void* out);
int TV_GetPODChannel(void* out);
int TV_EnergyMap(void* out);
int TV_GetIRCode(void* out, int* length); /* out needs 512 bytes */
int TV_TavroInfo(void* handheldCopyright, void* handheldVersion, void* handheldDate,
                 void* podCopyright, void* podVersion, void* podDate,
                 void* assignmentTable);

/* ---- Fetches of the last reply, without asking ---- */
int TV_Image(int* first, int* second, int* length, void* out); /* out needs 16 bytes */
int TV_GetRawData(int* length, void* out);                     /* out needs 512 bytes */
int TV_GetSoundCount(void);
int TV_GetRawMicArray(void* out);                              /* out needs 20 bytes */
int TV_GetMicArray(short* out, int count, int clear);          /* out needs 16*count */

/* ---- Pass-through and options ---- */
/* mode 0 tap, 1 press, 2 release; 0 also when the key was not typed (the keymap has
 * no key for the symbol, or no desktop read a virtual keyboard) */
int TV_SendKeyEvent(int keysym, int unused1, int mode, int unused2);
int TV_MouseClick(int on);
int TV_QuickClick(int on);
int TV_SetDrawBitmaps(int on); /* returns on */

/* ---- Key bindings (the bindings file of this process's user) ---- */
/* What each key does in `profile` (NULL or "": the profile the file starts with) for
 * handset `handset` (0-3; -1: the bindings for every handset): one line per binding,
 * "KEY\tTRIGGER\tACTION\tLINE\n", and "KEY\tKEY\tbuiltin\t0\n" for a key the profile
 * leaves to its built-in behaviour.  Returns the text's full length (out holds at most
 * size - 1 bytes of it, terminated); -1 when the file has an error and -2 when there is
 * no such profile, with the message in out. */
int TV_GetKeyBindings(const char* profile, int handset, char* out, int size);

#ifdef __cplusplus
}
#endif

#endif /* TAVRODEV_H */
