#include "ReceiverRequests.h"

#include "IrCodeFile.h"
#include "tavrodev.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace tavro::cli {

namespace {

// Time the receiver gets to answer an information request once the daemon
// has sent it.
constexpr std::chrono::milliseconds kReplyTimeout{1200};

constexpr const char kIrSuffix[] = ".ir";

}  // namespace

const std::vector<InfoItem>& InfoItems() {
    static const std::vector<InfoItem> items = {
        {"handset copyright", 0}, {"handset version", 1},   {"handset date", 2},
        {"receiver copyright", 3}, {"receiver version", 4}, {"receiver date", 5},
        {"handset assignment", 6}, {"signal strength", 7},  kChannelInfo,
    };
    return items;
}

// The request is raised here rather than through the API's getter, which
// gives up after 200 ms: the daemon gets the client's longer time to take it
// up, and a request it never took up is withdrawn.
Outcome FetchInfo(SharedDeviceState* r, const InfoItem& item, std::string* reply) {
    // The record keeps the previous reply's length; clear it so that only a
    // fresh reply counts as an answer.
    tavro::StoreField(r->InfoLength, 0);
    tavro::StoreField(r->InfoKind, static_cast<int32_t>(item.kind));
    tavro::RaiseRequest(r->GetInfoRequest);
    if (!AwaitOrWithdraw(r, &SharedDeviceState::GetInfoRequest)) return NotServedOutcome(item.label);
    if (!WaitUntil([&] { return tavro::LoadField(r->InfoLength) > 0; }, kReplyTimeout))
        return Failure(kExitNoAnswer, "no answer from the receiver to the %s request within %lld ms",
                       item.label, static_cast<long long>(kReplyTimeout.count()));
    std::atomic_thread_fence(std::memory_order_acquire);
    int length = tavro::LoadField(r->InfoLength);
    if (length > static_cast<int>(sizeof r->InfoBuffer)) length = sizeof r->InfoBuffer;
    char bytes[sizeof r->InfoBuffer];
    tavro::LoadBytes(r->InfoBuffer, bytes, static_cast<size_t>(length));
    reply->assign(bytes, static_cast<size_t>(length));
    return Outcome{};
}

std::string DescribeInfo(const std::string& reply) {
    size_t end = reply.size();
    while (end > 0 && reply[end - 1] == '\0') --end;
    bool text = end > 0;
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(reply[i]);
        if (c < 0x20 || c > 0x7E) text = false;
    }
    if (text) return reply.substr(0, end);
    std::string decimal, hex;
    char item[8];
    for (unsigned char c : reply) {
        std::snprintf(item, sizeof item, "%s%u", decimal.empty() ? "" : " ", c);
        decimal += item;
        std::snprintf(item, sizeof item, "%s%02x", hex.empty() ? "" : " ", c);
        hex += item;
    }
    return decimal + " (" + hex + ")";
}

Outcome SetCamera(SharedDeviceState* r, int threshold, int gain, int exposure) {
    int32_t errorBefore = tavro::LoadField(r->LastError);
    // The daemon sends them in this order within one pass.
    RequestFlag last = nullptr;
    if (threshold >= 0) {
        TV_SetThreshold(threshold);
        last = &SharedDeviceState::SetThreshRequest;
    }
    if (gain >= 0) {
        TV_SetGain(gain);
        last = &SharedDeviceState::SetGainRequest;
    }
    if (exposure >= 0) {
        TV_SetExposure(exposure);
        last = &SharedDeviceState::SetExposureRequest;
    }
    if (last == nullptr) return Failure(kExitUsage, "camera needs a threshold, a gain or an exposure");
    // Any of the three not taken up in time is withdrawn with the others.
    const RequestFlag camera[] = {&SharedDeviceState::SetThreshRequest, &SharedDeviceState::SetGainRequest,
                                  &SharedDeviceState::SetExposureRequest};
    for (RequestFlag flag : camera)
        if (flag != last && !AwaitOrWithdraw(r, flag)) {
            for (RequestFlag other : camera) tavro::WithdrawRequest(r->*other);
            return NotServedOutcome("camera");
        }
    return AwaitCommand(r, last, errorBefore, "camera");
}

Outcome SetChannel(SharedDeviceState* r, int channel) {
    int32_t errorBefore = tavro::LoadField(r->LastError);
    TV_SetPODChannel(channel);
    return AwaitCommand(r, &SharedDeviceState::FrequencyRequest, errorBefore, "channel");
}

Outcome StartMotor(SharedDeviceState* r, int mode, int level, int value) {
    int32_t errorBefore = tavro::LoadField(r->LastError);
    TV_StartMotor(mode, level, value);
    return AwaitCommand(r, &SharedDeviceState::StartMotorRequest, errorBefore, "motor start");
}

Outcome StopMotor(SharedDeviceState* r) {
    int32_t errorBefore = tavro::LoadField(r->LastError);
    // The API's TV_StopMotor leaves the flag to other processes; a client
    // asking for the stop raises it itself.
    tavro::RaiseRequest(r->StopMotorRequest);
    return AwaitCommand(r, &SharedDeviceState::StopMotorRequest, errorBefore, "motor stop");
}

Outcome SendIrCode(SharedDeviceState* r, const std::vector<uint8_t>& code) {
    int32_t errorBefore = tavro::LoadField(r->LastError);
    if (TV_SendIRCode(code.data(), static_cast<int>(code.size())) != 1)
        return Failure(kExitFailure, "the kit refused a code of %zu bytes", code.size());
    return AwaitCommand(r, &SharedDeviceState::SendIRCodeRequest, errorBefore, "send code");
}

Outcome SendIrBlast(SharedDeviceState* r) {
    int32_t errorBefore = tavro::LoadField(r->LastError);
    TV_SendIRBlast();
    return AwaitCommand(r, &SharedDeviceState::IRBlastRequest, errorBefore, "blast");
}

Outcome LearnIrCode(SharedDeviceState* r, std::chrono::seconds timeout,
                    const std::function<bool(long)>& tick, std::vector<uint8_t>* code) {
    int32_t errorBefore = tavro::LoadField(r->LastError);
    TV_LearnCode();
    if (!AwaitOrWithdraw(r, &SharedDeviceState::LearnCodeRequest)) return NotServedOutcome("learn");

    auto deadline = std::chrono::steady_clock::now() + timeout;
    // Until the code comes, or an error packet of a receiver that cannot learn.
    bool ended = false, abandoned = false;
    while (!ended && !g_interrupted) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (!tick((left.count() + 999) / 1000)) {
            abandoned = true;
            break;
        }
        ended = WaitUntil(
            [&] { return TV_GetIRActive() == 0 || tavro::LoadField(r->LastError) != errorBefore; },
            std::min(left, std::chrono::milliseconds(250)));
    }
    if (g_interrupted || abandoned) return Failure(kExitFailure, "interrupted while learning");
    if (TV_GetIRActive() != 0) {
        if (tavro::LoadField(r->LastError) != errorBefore)
            return Failure(kExitFailure, "learning failed: the receiver reported error %d",
                           static_cast<int>(tavro::LoadField(r->LastError)));
        return Failure(kExitNoAnswer, "no infrared code received within %lld s",
                       static_cast<long long>(timeout.count()));
    }

    // The learn reply has stored the code; ask for it the API's way, which
    // also returns it when the receiver does not repeat it.
    unsigned char buffer[512] = {};
    int length = 0;
    TV_GetIRCode(buffer, &length);
    if (length <= 0 || length > static_cast<int>(kMaxIrCodeBytes))
        return Failure(kExitFailure, "the receiver returned no usable code (length %d)", length);
    code->assign(buffer, buffer + length);
    return Outcome{};
}

Outcome ReadIrCodeFile(const std::string& path, std::vector<uint8_t>* code) {
    int fd = STDIN_FILENO;
    auto failed = [&](const char* why) {
        if (fd != STDIN_FILENO) close(fd);
        return Failure(kExitFailure, "cannot read %s: %s", path.c_str(), why);
    };
    if (path != "-") {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Failure(kExitFailure, "cannot read %s: %s", path.c_str(), std::strerror(errno));
        struct stat info {};
        if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
            return failed("it is a directory, not an infrared code file");
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed(std::strerror(errno));
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        // A code file is small; anything this large is not one.
        if (text.size() > 1 << 20) return failed("it is larger than 1 MiB, not an infrared code file");
    }
    if (fd != STDIN_FILENO) close(fd);
    std::string error;
    if (!ParseIrCode(text, code, &error))
        return Failure(kExitUsage, "%s is not an infrared code file: %s", path.c_str(), error.c_str());
    return Outcome{};
}

IrCodeFileWriter::~IrCodeFileWriter() {
    if (file_ != nullptr) {
        std::fclose(file_);
        std::remove(temporary_.c_str());
    }
}

Outcome IrCodeFileWriter::Open(const std::string& path) {
    struct stat target {};
    if (stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
        return Failure(kExitFailure, "cannot write %s: it is a directory; give a file name", path.c_str());
    path_ = path;
    temporary_ = path + ".tmp";
    file_ = std::fopen(temporary_.c_str(), "wb");
    if (file_ == nullptr) return Failure(kExitFailure, "cannot write %s: %s", path.c_str(), std::strerror(errno));
    return Outcome{};
}

Outcome IrCodeFileWriter::Commit(const std::vector<uint8_t>& code) {
    if (file_ == nullptr) return Failure(kExitFailure, "cannot write %s: it was not opened", path_.c_str());
    bool written = std::fputs(FormatIrCode(code).c_str(), file_) >= 0;
    written = std::fclose(file_) == 0 && written;
    file_ = nullptr;
    if (!written || std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        int error = errno;
        std::remove(temporary_.c_str());
        return Failure(kExitFailure, "cannot write %s: %s", path_.c_str(), std::strerror(error));
    }
    return Outcome{};
}

Outcome CheckIrCodeName(const std::string& name) {
    if (name.empty()) return Failure(kExitUsage, "a code needs a name");
    if (name.find('/') != std::string::npos)
        return Failure(kExitUsage, "a code's name has no '/'; give a file with --out instead");
    if (name[0] == '.') return Failure(kExitUsage, "a code's name does not start with '.'");
    return Outcome{};
}

std::vector<std::string> SavedIrCodeNames() {
    std::vector<std::string> names;
    // The directory of every saved code: the path of an empty name without
    // its ".ir".
    std::string directory = SavedIrCodePath("");
    directory.resize(directory.size() - std::strlen(kIrSuffix));
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return names;
    const size_t suffix = std::strlen(kIrSuffix);
    while (dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        if (file.size() <= suffix || file[0] == '.' || file.compare(file.size() - suffix, suffix, kIrSuffix) != 0)
            continue;
        struct stat info {};
        if (stat((directory + file).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        names.push_back(file.substr(0, file.size() - suffix));
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

Outcome RemoveSavedIrCode(const std::string& name) {
    Outcome valid = CheckIrCodeName(name);
    if (!valid.ok()) return valid;
    const std::string path = SavedIrCodePath(name);
    if (unlink(path.c_str()) != 0)
        return Failure(kExitFailure, "cannot delete %s: %s", path.c_str(), std::strerror(errno));
    return Outcome{};
}

}  // namespace tavro::cli
