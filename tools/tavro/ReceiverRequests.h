// Requests to the receiver that the command-line client and the desktop app
// both make: the information it reports, its camera, radio channel and
// motor, and infrared codes.  Each waits for the daemon (and the receiver's
// answer where there is one) and returns how it went instead of printing it,
// so that the app can run it off its window's thread and show the line.
#ifndef TAVRO_CLI_RECEIVER_REQUESTS_H
#define TAVRO_CLI_RECEIVER_REQUESTS_H

#include "Kit.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tavro::cli {

struct InfoItem {
    const char* label;
    int kind;  // the record's InfoKind
};

// What the receiver reports, in the order `tavro info` shows it: the
// handset's and the receiver's copyright, version and date, the handset
// assignment, the signal strength and the channel.
const std::vector<InfoItem>& InfoItems();
constexpr InfoItem kChannelInfo{"channel", 8};
constexpr InfoItem kEnergyMapInfo{"energy map", 9};

// Asks for one kind of information; on success the reply is in *reply.
Outcome FetchInfo(SharedDeviceState* record, const InfoItem& item, std::string* reply);
// Text replies as text; anything else as decimal bytes with their hex.
std::string DescribeInfo(const std::string& reply);

// Camera settings: a negative value is left as it is; at least one is sent.
// The values are in range (threshold 0-127, gain 0-63, exposure 0-255).
Outcome SetCamera(SharedDeviceState* record, int threshold, int gain, int exposure);
Outcome SetChannel(SharedDeviceState* record, int channel);
// mode 25, 50, 75 or 100; level 0-2268; value 0-255.
Outcome StartMotor(SharedDeviceState* record, int mode, int level, int value);
Outcome StopMotor(SharedDeviceState* record);
Outcome SendIrCode(SharedDeviceState* record, const std::vector<uint8_t>& code);
Outcome SendIrBlast(SharedDeviceState* record);

// Puts the receiver into learning mode and waits up to `timeout` for the
// code of a remote control pointed at it; on success the code is in *code.
// `tick(secondsLeft)` is called about four times a second while waiting and
// returns false to give up.
Outcome LearnIrCode(SharedDeviceState* record, std::chrono::seconds timeout,
                    const std::function<bool(long secondsLeft)>& tick, std::vector<uint8_t>* code);

// Reads and parses a code file ("-": standard input).
Outcome ReadIrCodeFile(const std::string& path, std::vector<uint8_t>* code);

// A code file written whole or not at all: Open makes it empty under a
// temporary name beside the target (before a code is learned, so that none
// is lost for want of a writable place), Commit writes the code and renames
// it over the target.  Anything not committed is removed.
class IrCodeFileWriter {
public:
    IrCodeFileWriter() = default;
    IrCodeFileWriter(const IrCodeFileWriter&) = delete;
    IrCodeFileWriter& operator=(const IrCodeFileWriter&) = delete;
    ~IrCodeFileWriter();
    Outcome Open(const std::string& path);
    Outcome Commit(const std::vector<uint8_t>& code);

private:
    std::string path_, temporary_;
    std::FILE* file_ = nullptr;
};

// A name to save a code under: not empty, no '/', not starting with '.'.
Outcome CheckIrCodeName(const std::string& name);
// The names of the codes saved under ~/.config/tavro/ir/, sorted.
std::vector<std::string> SavedIrCodeNames();
// Removes the code saved under the name, and nothing else.
Outcome RemoveSavedIrCode(const std::string& name);

}  // namespace tavro::cli

#endif
