// A platform object with nothing behind it, for code that exercises the core
// alone (unit tests, benchmarks, fuzz targets): the record lives in ordinary
// memory, every platform operation does nothing, and the record holds the
// kit's start values and default settings, as after a start-up without a
// settings file.  Subclasses override what they want to observe.
#ifndef TAVRO_TEST_NULL_PLATFORM_H
#define TAVRO_TEST_NULL_PLATFORM_H

#include "TavroCore.h"

#include <memory>

namespace tavro::test {

class NullPlatform : public CTavroCore {
public:
    NullPlatform() : record_(new SharedDeviceState()) {
        SharedData = record_.get();
        // The real start-up: with no settings path it stores the start values
        // and the defaults and reads no file.
        Initialize();
        SharedData->ActivateCursor = 1;
    }

    int OpenDevice() override { return 0; }
    int CreatePODThreads() override { return 0; }
    int CreateDataPacketThread() override { return 0; }
    int StopDevice() override { return 0; }
    int CalculateScreenBorders(double*, double*, int) override { return 0; }
    int MoveScreenCursor(double, double, double, double, int) override { return 0; }
    int SendCommand(unsigned char*, unsigned long) override { return 0; }
    int CalculatePODCoordinates(double*, double*) override { return 0; }
    int ReadPODDeviceData() override { return 0; }
    int WritePODDeviceData() override { return 0; }
    int TV_Sleep(int) override { return 0; }
    int CreateSharedMemory() override { return 0; }
    int HandleNorthEastEvents() override { return 0; }
    int HandleNorthEvents() override { return 0; }
    int HandleNorthWestEvents() override { return 0; }
    int HandleEastEvents() override { return 0; }
    int HandleWestEvents() override { return 0; }
    int HandleSouthEastEvents() override { return 0; }
    int HandleSouthEvents() override { return 0; }
    int HandleSouthWestEvents() override { return 0; }
    int HandleMenuEvents() override { return 0; }
    int TV_GetIniFileName() override { return 1; }  // no settings file
    int CreateIniDirectory() override { return 0; }
    bool FileExists() override { return false; }
    int MouseEventLeftDownUp() override { return 0; }
    int MouseEventLeftDown() override { return 0; }
    int MouseEventLeftUp() override { return 0; }
    int GetSharedDataPath() override { return 0; }
    int TV_GetAppPath(char* buffer) override {
        if (buffer != nullptr) buffer[0] = '\0';
        return 0;
    }
    int OutputDebugString(char*) override { return 0; }

private:
    std::unique_ptr<SharedDeviceState> record_;
};

}  // namespace tavro::test

#endif
