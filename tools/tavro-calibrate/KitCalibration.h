// What every calibration front end (tavro-calibrate, the desktop app's
// wizard) reads from the kit and writes back to it: the aim options of the
// running settings, the calibration in use, and storing a new one through
// the kit's setters, which save it in the settings file.
#ifndef TAVRO_CALIBRATION_KIT_CALIBRATION_H
#define TAVRO_CALIBRATION_KIT_CALIBRATION_H

#include "AimCollector.h"
#include "CalibrationFit.h"
#include "SharedDeviceState.h"

#include <string>
#include <vector>

namespace tavro::calibration {

// A fit whose RMS residual is larger than this many calibration-screen
// pixels is not stored unless the user asks for a looser bound.
constexpr double kDefaultMaxError = 40.0;

// The aims are taken as the kit uses them: turned by the roll when
// RotationCompensation is on, spread by the distance factor when
// DistanceScaling is on.  False with a reason when the settings cannot
// give a calibration (DistanceScaling without a CalDistance).
bool AimOptionsOfKit(const SharedDeviceState* record, AimOptions* options, std::string* error);

// The calibration the kit uses now.
Calibration CalibrationInUse();

// The targets on the kit's calibration screen (XcalScreen x YcalScreen);
// empty when that size is not usable.
std::vector<Target> KitTargets(int count, double marginPercent, int* calCols, int* calRows);

// Where the fitted calibration puts the aim taken at each point.
std::vector<Target> FittedTargets(const std::vector<AimedPoint>& points, const Calibration& c);

// Puts `calibration` in use and saves it in the settings file through the
// kit's setters.  When the file cannot be written, the calibration stays in
// use if `keepInUse` is set, otherwise `previous` is put back so that the
// record and the file agree; *error names the file and why.  *file gets
// the settings file's path either way.
bool StoreCalibration(const SharedDeviceState* record, const Calibration& calibration,
                      const Calibration& previous, bool keepInUse, std::string* file,
                      std::string* error);

}  // namespace tavro::calibration

#endif
