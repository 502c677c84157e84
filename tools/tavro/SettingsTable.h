// The settings of the kit as its programs offer them to people: for every key
// of the settings file, the values it accepts, one line saying what it does,
// and how it is read and changed through the kit's API.  `tavro get/set/
// settings` and the desktop app tavro-control both go through this table, so
// that a value one accepts the other accepts too.
#ifndef TAVRO_CLI_SETTINGS_TABLE_H
#define TAVRO_CLI_SETTINGS_TABLE_H

#include <string>

namespace tavro::settings {

enum class Range { Any, Positive, NonNegative, NonZero, Integers, Flag, BaudRate, Path, Text };

// How one key is read and changed.  Setters return 0 when the settings file
// was written, or the writer's error; a setter of the API that does not tell
// is followed by reading the file back, as every setter is.
struct Access {
    const char* key;
    Range range;
    long low, high;  // for Range::Integers and Range::Flag
    double (*getDouble)();
    int (*getInt)();
    int (*setDouble)(double);
    int (*setInt)(int);
    int (*setText)(const char*);
    const char* accepts;      // the values it takes, for listings and refusals
    const char* description;  // what it does, in one line
};

// The entry of key `index` (the settings file's order, SettingsKeys.h).
const Access& Entry(int index);
int KeyCount();

// The key's index, by name regardless of case; -1 when there is none.
int FindKey(const std::string& name);

// Whether the API has a setter for the key; the others are stored in the
// record by offset.
bool HasSetter(int index);

// The key's current value in the attached record, as the settings file
// writes it (six decimals for real values).
std::string Format(int index);

// Checks the text against the key's range.  True with the parsed value in
// *number or *whole; false with *refusal one line "KEY takes ..., not ...".
bool Check(int index, const std::string& text, double* number, long* whole, std::string* refusal);

// Stores the checked value in the record and rewrites the settings file;
// returns 0 or the settings writer's error.
int Store(int index, const std::string& text, double number, long whole);

// The key's text in the settings file `file`, or false when the file or the
// key cannot be read.
bool ReadBack(const char* file, const char* name, std::string* text);

// Stores the value and makes sure the file holds it: checks, stores, reads
// the file back.  On success returns true.  On failure returns false with
// *error one line naming the cause; the record then still holds the old
// value unless `keepInRecord` is set (the CLI keeps the new value in a
// running daemon and says so).
struct SetResult {
    bool ok = false;
    bool refused = false;      // the text is not a value of the key
    std::string message;       // the refusal or the reason the file was not written
    std::string file;          // the settings file written
    std::string value;         // the value the record holds afterwards
};
SetResult Set(int index, const std::string& text, bool keepInRecord);

// Why a file cannot be written now, as the system says it ("Permission
// denied", "Read-only file system"), or empty when it looks writable.
std::string WhyNotWritable(const std::string& file);

}  // namespace tavro::settings

#endif
