// Internal to the API library: how every TV_ function reaches the record,
// and the checks that keep bad arguments from reading or writing outside it.
#ifndef TAVRO_API_RECORD_H
#define TAVRO_API_RECORD_H

#include "RecordAccess.h"
#include "SharedDeviceState.h"
#include "TavroLinux.h"
#include "tavrodev.h"

namespace tavro::api {

// The attached record, or null before a successful TV_Initialize.
inline SharedDeviceState* Record() {
    return TavroLinux != nullptr ? TavroLinux->SharedData : nullptr;
}

inline bool ValidUser(int user) { return user >= 0 && user < TAVRO_HANDSETS; }

// The record when `user` is a valid handset index, otherwise null.
inline SharedDeviceState* RecordFor(int user) {
    return ValidUser(user) ? Record() : nullptr;
}

// Flag convention of the setters: on when greater than 0.
inline uint8_t FlagFrom(int on) { return on > 0 ? 1 : 0; }

}  // namespace tavro::api

#endif
