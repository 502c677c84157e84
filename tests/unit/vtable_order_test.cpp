// The platform library is built against the core's class declaration and
// calls it only through the virtual table, so the order of the entries is a
// binary contract.  On the Itanium C++ ABI a pointer to a virtual member
// function holds 1 + the byte offset of its slot.
#include "TavroLinux.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

template <typename MemberFunction>
long Slot(MemberFunction function) {
    static_assert(sizeof function == 2 * sizeof(void*), "Itanium member function pointer");
    uintptr_t raw;
    std::memcpy(&raw, &function, sizeof raw);
    if ((raw & 1) == 0) return -1;  // not virtual
    return static_cast<long>((raw - 1) / sizeof(void*));
}

TEST(VirtualTable, CoreEntriesKeepTheirOrder) {
    const long slots[] = {
        Slot(&CTavroCore::OpenDevice),              Slot(&CTavroCore::CreatePODThreads),
        Slot(&CTavroCore::CreateDataPacketThread),  Slot(&CTavroCore::StopDevice),
        Slot(&CTavroCore::CalculateScreenBorders),  Slot(&CTavroCore::MoveScreenCursor),
        Slot(&CTavroCore::SendCommand),             Slot(&CTavroCore::CalculatePODCoordinates),
        Slot(&CTavroCore::ReadPODDeviceData),       Slot(&CTavroCore::WritePODDeviceData),
        Slot(&CTavroCore::TV_Sleep),                Slot(&CTavroCore::CreateSharedMemory),
        Slot(&CTavroCore::HandleNorthEastEvents),   Slot(&CTavroCore::HandleNorthEvents),
        Slot(&CTavroCore::HandleNorthWestEvents),   Slot(&CTavroCore::HandleEastEvents),
        Slot(&CTavroCore::HandleCenterEvents),      Slot(&CTavroCore::HandleWestEvents),
        Slot(&CTavroCore::HandleSouthEastEvents),   Slot(&CTavroCore::HandleSouthEvents),
        Slot(&CTavroCore::HandleSouthWestEvents),   Slot(&CTavroCore::HandleMenuEvents),
        Slot(&CTavroCore::TV_GetIniFileName),       Slot(&CTavroCore::CreateIniDirectory),
        Slot(&CTavroCore::FileExists),              Slot(&CTavroCore::MouseEventLeftDownUp),
        Slot(&CTavroCore::MouseEventLeftDown),      Slot(&CTavroCore::MouseEventLeftUp),
        Slot(&CTavroCore::GetSharedDataPath),       Slot(&CTavroCore::TV_GetAppPath),
        Slot(&CTavroCore::OutputDebugString),       Slot(&CTavroCore::MoveScreenCursorRelative),
        Slot(&CTavroCore::InitializeDevice),        Slot(&CTavroCore::PreCalculatePODDeviceData),
        Slot(&CTavroCore::AdditionalInitialization), Slot(&CTavroCore::MouseEventButtonDownUp),
        Slot(&CTavroCore::MouseEventButtonUp),      Slot(&CTavroCore::MouseEventDrag),
        Slot(&CTavroCore::SendDebug),               Slot(&CTavroCore::SendFrequency),
        Slot(&CTavroCore::SendClearHat),            Slot(&CTavroCore::SendProgramID),
    };
    ASSERT_EQ(sizeof slots / sizeof slots[0], 42u);
    for (long i = 0; i < 42; ++i) EXPECT_EQ(slots[i], i) << "entry " << i + 1;
}

TEST(VirtualTable, PlatformAppendsDestructorThenPointerPrimitives) {
    // Slots 42 and 43 hold the two destructor entries.
    EXPECT_EQ(Slot(&CTavroLinux::MoveScreenCursorAbsolute), 44);
    EXPECT_EQ(Slot(&CTavroLinux::GetCursorPosition), 45);
    // Overrides reuse the core's slots instead of adding entries.
    EXPECT_EQ(Slot(&CTavroLinux::OpenDevice), 0);
    EXPECT_EQ(Slot(&CTavroLinux::SendProgramID), 41);
}

}  // namespace
