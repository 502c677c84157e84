#include "KitCalibration.h"

#include "RecordAccess.h"
#include "SettingsTable.h"
#include "tavrodev.h"

#include <cstdio>

namespace tavro::calibration {

bool AimOptionsOfKit(const SharedDeviceState* record, AimOptions* options, std::string* error) {
    options->rotationCompensation = TV_GetRotationCompensation() != 0;
    options->distanceScaling = tavro::LoadField(record->DistanceScaling) != 0;
    TV_GetDmin(&options->dmin);
    TV_GetCalDistance(&options->calDistance);
    if (options->distanceScaling && !(options->calDistance > 0)) {
        char text[160];
        std::snprintf(text, sizeof text, "DistanceScaling is on but CalDistance is %g; set CalDistance first",
                      options->calDistance);
        *error = text;
        return false;
    }
    return true;
}

Calibration CalibrationInUse() { return {TV_GetMx(), TV_GetBx(), TV_GetMy(), TV_GetBy()}; }

std::vector<Target> KitTargets(int count, double marginPercent, int* calCols, int* calRows) {
    *calCols = 0;
    *calRows = 0;
    TV_GetCalScreen(calCols, calRows);
    return GridTargets(count, *calCols, *calRows, marginPercent);
}

std::vector<Target> FittedTargets(const std::vector<AimedPoint>& points, const Calibration& c) {
    std::vector<Target> fitted;
    for (const AimedPoint& p : points) fitted.push_back({c.mx * p.aimX + c.bx, c.my * p.aimY + c.by});
    return fitted;
}

namespace {

// Each setter rewrites the whole settings file from the record; the count
// of the writes that failed.
int SetAll(const Calibration& c) {
    return (TV_SetMx(c.mx) != 0) + (TV_SetBx(c.bx) != 0) + (TV_SetMy(c.my) != 0) + (TV_SetBy(c.by) != 0);
}

}  // namespace

bool StoreCalibration(const SharedDeviceState* record, const Calibration& calibration,
                      const Calibration& previous, bool keepInUse, std::string* file,
                      std::string* error) {
    *file = tavro::LoadText(record->IniFileName);
    if (SetAll(calibration) == 0) return true;
    const std::string why = settings::WhyNotWritable(*file);
    *error = "the settings file " + *file + " could not be written" + (why.empty() ? "" : " (" + why + ")");
    if (!keepInUse) SetAll(previous);  // fails to write as well; the file still holds the previous values
    return false;
}

}  // namespace tavro::calibration
