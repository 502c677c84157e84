// Averaging over a handset's newest history entries, shared by the
// stabilisation, the distance scaling and the API's average getters so that
// they all follow one rule.
#ifndef TAVRO_HISTORY_AVERAGE_H
#define TAVRO_HISTORY_AVERAGE_H

#include "RecordAccess.h"

namespace tavro {

// A window of `count` entries clamped to 1..60: the history never holds more,
// and asking for none still averages the newest entry.
inline int ClampHistoryWindow(int count) {
    if (count > TAVRO_HISTORY_ENTRIES) return TAVRO_HISTORY_ENTRIES;
    if (count <= 0) return 1;
    return count;
}

// Mean of `field` (for example &HistoryEntry::Distance) over the newest
// ClampHistoryWindow(count) entries of handset `user`, summed from entry 0
// upwards.  Entries not filled yet count with whatever they hold.  Returns
// 0.0 for a handset index outside 0..3.
inline double AverageHistory(const SharedDeviceState& record, double HistoryEntry::*field,
                             int count, int user) {
    if (user < 0 || user >= TAVRO_HANDSETS) return 0.0;
    const int window = ClampHistoryWindow(count);
    double sum = 0.0;
    for (int n = 0; n < window; ++n) sum += LoadField(record.History[n][user].*field);
    return sum / window;
}

}  // namespace tavro

#endif  // TAVRO_HISTORY_AVERAGE_H
