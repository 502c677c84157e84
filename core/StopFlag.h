// The record's stop flag: StopRequested and SetStopRequest live in the
// record-access layer with every other access of the record.
#ifndef TAVRO_STOP_FLAG_H
#define TAVRO_STOP_FLAG_H

#include "RecordAccess.h"

#endif
