// How the kit reads and writes the shared record.  The record is shared
// memory that the device's threads and other processes write without locks,
// so every field is read and written whole, with one atomic access of its
// own size (relaxed: a reader sees each field's old or new value, never a
// torn one, and the compiler never keeps a field in a register across
// reads; on x86 each access is a plain move).  Byte buffers and texts are
// read and written byte by byte the same way, history entries field by
// field.  Request flags have their own named operations below, because
// three parties touch them: the requesting client, the command writer, and
// a client that gives up waiting.
//
// Outside this header no code names a field of the record except as the
// argument of one of these operations (or of sizeof); a unit test scans the
// sources for any other access.
#ifndef TAVRO_RECORD_ACCESS_H
#define TAVRO_RECORD_ACCESS_H

#include "SharedDeviceState.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

namespace tavro {

// ---- One field (or one element of a per-handset array). ----

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

// A field that tells readers the fields written before it are ready (a
// segment's magic number, a process id, a time stamp of what it describes):
// stored with release and loaded with acquire, so that a reader that sees
// the new value sees those fields too.
template <typename T, typename V>
void PublishField(T& field, V value) {
    static_assert(std::is_integral<T>::value, "an integer field");
    __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELEASE);
}

template <typename T>
T LoadPublished(const T& field) {
    static_assert(std::is_integral<T>::value, "an integer field");
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

// ---- A field found by its byte offset (the settings table's keys). ----

template <typename T>
T LoadAt(const SharedDeviceState& record, size_t offset) {
    const unsigned char* base = reinterpret_cast<const unsigned char*>(&record);
    return LoadField(*reinterpret_cast<const T*>(base + offset));
}

template <typename T, typename V>
void StoreAt(SharedDeviceState& record, size_t offset, V value) {
    unsigned char* base = reinterpret_cast<unsigned char*>(&record);
    StoreField(*reinterpret_cast<T*>(base + offset), value);
}

// ---- Byte buffers (InfoBuffer, IRCode, RawData, MicData, ...). ----
// The field comes first, as in every operation of this header.

inline void LoadBytes(const void* field, void* out, size_t count) {
    const unsigned char* from = static_cast<const unsigned char*>(field);
    unsigned char* to = static_cast<unsigned char*>(out);
    for (size_t i = 0; i < count; ++i) to[i] = __atomic_load_n(from + i, __ATOMIC_RELAXED);
}

inline void StoreBytes(void* field, const void* in, size_t count) {
    unsigned char* to = static_cast<unsigned char*>(field);
    const unsigned char* from = static_cast<const unsigned char*>(in);
    for (size_t i = 0; i < count; ++i) __atomic_store_n(to + i, from[i], __ATOMIC_RELAXED);
}

inline void FillBytes(void* field, unsigned char value, size_t count) {
    unsigned char* to = static_cast<unsigned char*>(field);
    for (size_t i = 0; i < count; ++i) __atomic_store_n(to + i, value, __ATOMIC_RELAXED);
}

// Moves `count` bytes inside one field from byte `from` to byte `to`; the
// ranges may overlap (the microphone ring shifting its blocks up).
inline void MoveBytes(void* field, size_t to, size_t from, size_t count) {
    unsigned char* base = static_cast<unsigned char*>(field);
    if (to > from) {
        for (size_t i = count; i-- > 0;)
            __atomic_store_n(base + to + i, __atomic_load_n(base + from + i, __ATOMIC_RELAXED),
                             __ATOMIC_RELAXED);
    } else {
        for (size_t i = 0; i < count; ++i)
            __atomic_store_n(base + to + i, __atomic_load_n(base + from + i, __ATOMIC_RELAXED),
                             __ATOMIC_RELAXED);
    }
}

// ---- Texts (DeviceName, TavroMenuPath, IniFileName, SettingsDirectory). ----
// Another process may leave a text unterminated: a text is read up to its
// NUL or its field's last byte, whichever comes first.

// Copies the text of a field of `fieldSize` bytes into `out` (room for
// `outSize` bytes, always terminated); returns the length copied.
inline size_t LoadText(const char* field, size_t fieldSize, char* out, size_t outSize) {
    if (outSize == 0) return 0;
    size_t limit = fieldSize > 0 ? fieldSize - 1 : 0;
    if (limit > outSize - 1) limit = outSize - 1;
    size_t length = 0;
    for (; length < limit; ++length) {
        char c = __atomic_load_n(field + length, __ATOMIC_RELAXED);
        if (c == '\0') break;
        out[length] = c;
    }
    out[length] = '\0';
    return length;
}

inline std::string LoadText(const char* field, size_t fieldSize) {
    std::string text;
    for (size_t i = 0; i + 1 < fieldSize; ++i) {
        char c = __atomic_load_n(field + i, __ATOMIC_RELAXED);
        if (c == '\0') break;
        text += c;
    }
    return text;
}

template <size_t N>
std::string LoadText(const char (&field)[N]) {
    return LoadText(field, N);
}

// Stores `length` bytes of `text` (cut to the field) and zeroes the rest of
// the field, the zeroes first, so that a reader always finds a terminator
// within the field.  Returns false when the text had to be cut.
inline bool StoreText(char* field, size_t fieldSize, const char* text, size_t length) {
    if (fieldSize == 0) return length == 0;
    const bool fits = length <= fieldSize - 1;
    if (!fits) length = fieldSize - 1;
    FillBytes(field + length, 0, fieldSize - length);
    StoreBytes(field, text, length);
    return fits;
}

inline bool StoreText(char* field, size_t fieldSize, const char* text) {
    return StoreText(field, fieldSize, text, text != nullptr ? strnlen(text, fieldSize) : 0);
}

template <size_t N>
bool StoreText(char (&field)[N], const char* text) {
    return StoreText(field, N, text);
}

template <size_t N>
bool StoreText(char (&field)[N], const std::string& text) {
    return StoreText(field, N, text.data(), text.size());
}

inline std::string LoadTextAt(const SharedDeviceState& record, size_t offset, size_t size) {
    return LoadText(reinterpret_cast<const char*>(&record) + offset, size);
}

inline void StoreTextAt(SharedDeviceState& record, size_t offset, size_t size, const char* text,
                        size_t length) {
    StoreText(reinterpret_cast<char*>(&record) + offset, size, text, length);
}

// ---- History entries: five doubles, each read and written whole. ----

inline HistoryEntry LoadHistory(const HistoryEntry& entry) {
    HistoryEntry value;
    value.CompX = LoadField(entry.CompX);
    value.CompY = LoadField(entry.CompY);
    value.Distance = LoadField(entry.Distance);
    value.Roll = LoadField(entry.Roll);
    value.ThetaX = LoadField(entry.ThetaX);
    return value;
}

inline void StoreHistory(HistoryEntry& entry, const HistoryEntry& value) {
    StoreField(entry.CompX, value.CompX);
    StoreField(entry.CompY, value.CompY);
    StoreField(entry.Distance, value.Distance);
    StoreField(entry.Roll, value.Roll);
    StoreField(entry.ThetaX, value.ThetaX);
}

// ---- The stop flag: a stop comes at any moment from another thread (a
// signal handler, the API, the daemon's loop) or another process while the
// device's threads poll it. ----

inline bool StopRequested(const SharedDeviceState* record) {
    return LoadField(record->StopRequest) != 0;
}

inline void SetStopRequest(SharedDeviceState* record, bool stop) {
    StoreField(record->StopRequest, static_cast<uint8_t>(stop ? 1 : 0));
}

// ---- Request flags: 0 idle, 1 raised by a client, 2 taken up by the
// command writer, which lowers it to 0 once the command is written. ----
enum RequestState : uint8_t { kRequestIdle = 0, kRequestRaised = 1, kRequestTaken = 2 };

// A client asks for the command; the values it goes with are stored first
// (release: the writer that sees the flag sees them too).  A request raised
// again before the writer took it is the same request.
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

// The command writer's side in one step: takes up a raised request, runs
// `send` (which writes the command) and lowers the flag.  A flag left at
// another non-zero value, taken up by a writer that ended before it lowered
// it, is served as well, so that no request stays pending for ever.
template <typename Send>
bool ServeRequest(uint8_t& flag, Send&& send) {
    if (!TakeRequest(flag)) {
        const uint8_t seen = __atomic_load_n(&flag, __ATOMIC_ACQUIRE);
        if (seen == kRequestIdle || seen == kRequestRaised) return false;
    }
    send();
    FinishRequest(flag);
    return true;
}

// How often a waiting client looks at a flag; the writer polls every 50 ms.
constexpr std::chrono::milliseconds kRequestPollInterval{5};

// Waits until the writer has taken the request up and written it (the flag
// is idle again), the time-out passes, or `abandon()` turns true (an
// interrupted client).  True when it was written.
template <typename Abandon>
bool WaitForRequest(const uint8_t& flag, std::chrono::milliseconds timeout, Abandon abandon) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (!RequestPending(flag)) return true;
        if (abandon() || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kRequestPollInterval);
    }
}

inline bool WaitForRequest(const uint8_t& flag, std::chrono::milliseconds timeout) {
    return WaitForRequest(flag, timeout, [] { return false; });
}

// Waits as WaitForRequest does; a request still not taken up at the end is
// withdrawn, so that it never goes out later, and the result is false.  One
// the writer took up meanwhile is being sent: the wait goes on for up to
// `grace` so that it is written when this returns true.
template <typename Abandon>
bool AwaitOrWithdrawRequest(uint8_t& flag, std::chrono::milliseconds timeout, Abandon abandon,
                            std::chrono::milliseconds grace = std::chrono::milliseconds(500)) {
    if (WaitForRequest(flag, timeout, abandon)) return true;
    if (WithdrawRequest(flag)) return false;
    WaitForRequest(flag, grace);
    return true;
}

inline bool AwaitOrWithdrawRequest(uint8_t& flag, std::chrono::milliseconds timeout) {
    return AwaitOrWithdrawRequest(flag, timeout, [] { return false; });
}

}  // namespace tavro

#endif
