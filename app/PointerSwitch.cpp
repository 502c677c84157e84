#include "PointerSwitch.h"

#include "DeviceRunMarker.h"
#include "RecordAccess.h"
#include "SettingsTable.h"
#include "SharedDeviceState.h"
#include "TavroLinux.h"
#include "tavrodev.h"

#include <QCoreApplication>

namespace tavro::control {

bool SwitchPointer(SharedDeviceState* record, bool on, QString* message) {
    auto tr = [](const char* text) { return QCoreApplication::translate("PointerSwitch", text); };
    if (!tavro::DeviceRunsOn(CTavroLinux::SharedMemoryKey)) {
        *message = tr("The pointer is not changed: no device daemon runs.");
        return false;
    }
    const int before = TV_GetActivateCursor();
    if (TV_SetActivateCursor(on ? 1 : 0) != 0) {
        TV_SetActivateCursor(before);
        const std::string file = record != nullptr ? tavro::LoadText(record->IniFileName) : std::string();
        const std::string why = settings::WhyNotWritable(file);
        *message = tr("The pointer is not changed: the settings file %1 could not be rewritten%2.")
                       .arg(QString::fromStdString(file),
                            why.empty() ? QString() : QStringLiteral(" (%1)").arg(QString::fromStdString(why)));
        return false;
    }
    *message = on ? tr("The pointer follows the handset.") : tr("The pointer no longer follows the handset.");
    return true;
}

}  // namespace tavro::control
