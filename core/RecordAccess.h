// How the kit reads and writes the shared record.  The record is shared
// memory that the device's threads and other processes write without locks,
// so every field is read and written whole, with one atomic access of its
// own size (relaxed: a reader sees each field's old or new value, never a
// torn one, and the compiler never keeps a field in a register across
// reads).  Request flags have their own named operations below, because
// three parties touch them: the requesting client, the command writer, and
// a client that gives up waiting.
#ifndef TAVRO_RECORD_ACCESS_H
#define TAVRO_RECORD_ACCESS_H

#include "SharedDeviceState.h"

#include <type_traits>

namespace tavro {

template <typename T>
T LoadField(const T& field) {
    static_assert(std::is_trivially_copyable<T>::value && sizeof(T) <= 8, "one record field");
    T value;
    __atomic_load(&field, &value, __ATOMIC_RELAXED);
    return value;
}

template <typename T, typename V>
void StoreField(T& field, V value) {
    static_assert(std::is_trivially_copyable<T>::value && sizeof(T) <= 8, "one record field");
    T stored = static_cast<T>(value);
    __atomic_store(&field, &stored, __ATOMIC_RELAXED);
}

// ---- Request flags: 0 idle, 1 raised by a client, 2 taken up by the
// command writer, which lowers it to 0 once the command is written. ----
enum RequestState : uint8_t { kRequestIdle = 0, kRequestRaised = 1, kRequestTaken = 2 };

// A client asks for the command; the values it goes with are stored first
// (release: the writer that sees the flag sees them too).
inline void RaiseRequest(uint8_t& flag) {
    __atomic_store_n(&flag, static_cast<uint8_t>(kRequestRaised), __ATOMIC_RELEASE);
}

// True while raised or being written.
inline bool RequestPending(const uint8_t& flag) {
    return __atomic_load_n(&flag, __ATOMIC_ACQUIRE) != kRequestIdle;
}

// The writer takes a raised request, so that a client can no longer
// withdraw it; false when there was none (or it was withdrawn).
inline bool TakeRequest(uint8_t& flag) {
    uint8_t expected = kRequestRaised;
    return __atomic_compare_exchange_n(&flag, &expected, static_cast<uint8_t>(kRequestTaken), false,
                                       __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

// The writer has written the command.
inline void FinishRequest(uint8_t& flag) {
    __atomic_store_n(&flag, static_cast<uint8_t>(kRequestIdle), __ATOMIC_RELEASE);
}

// A client takes back a request that was not taken up, so that it never
// goes out later; false when the writer had taken it up already (it is
// being sent) or nothing was raised.
inline bool WithdrawRequest(uint8_t& flag) {
    uint8_t expected = kRequestRaised;
    return __atomic_compare_exchange_n(&flag, &expected, static_cast<uint8_t>(kRequestIdle), false,
                                       __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

}  // namespace tavro

#endif

// ---- Text fields of the record and the status segment (char arrays),
// copied one byte-sized access at a time, so that a text being rewritten by
// another process is read as some mix of its old and new bytes, never torn
// below a byte, and always ends within its field. ----
#ifndef TAVRO_RECORD_ACCESS_TEXT_H
#define TAVRO_RECORD_ACCESS_TEXT_H

#include <cstddef>
#include <string>

namespace tavro {

// The text up to the first NUL, or the whole field when it has none.
template <size_t N>
std::string LoadText(const char (&field)[N]) {
    std::string text;
    for (size_t i = 0; i < N; ++i) {
        const char c = LoadField(field[i]);
        if (c == '\0') break;
        text.push_back(c);
    }
    return text;
}

// Stores `text` (cut to N - 1 bytes): the NULs after it first, then its
// bytes, so that a reader always finds a terminator within the field.
// Returns false when the text had to be cut.
template <size_t N>
bool StoreText(char (&field)[N], const std::string& text) {
    const size_t length = text.size() < N ? text.size() : N - 1;
    for (size_t i = length; i < N; ++i) StoreField(field[i], '\0');
    for (size_t i = 0; i < length; ++i) StoreField(field[i], text[i]);
    return length == text.size();
}

}  // namespace tavro

#endif  // TAVRO_RECORD_ACCESS_TEXT_H
