// The settings file: start-up flow, defaults, reading and writing.
#include "RecordAccess.h"
#include "SettingsKeys.h"
#include "TavroCore.h"
#include "xmlParser.h"

#include <fcntl.h>
#include <locale.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace {

void StoreDefaults(SharedDeviceState& r) {
    tavro::StoreField(r.D0, 70.0);
    tavro::StoreField(r.Mx, 5.0);
    tavro::StoreField(r.Bx, -250.0);
    tavro::StoreField(r.My, 5.0);
    tavro::StoreField(r.By, -340.0);
    tavro::StoreField(r.Cpixel, 1.0);
    tavro::StoreField(r.DistanceThresh, 0.04);
    tavro::StoreField(r.StabThresh, 7.0);
    tavro::StoreField(r.CThetaX, 1.0);
    tavro::StoreField(r.CalDistance, 3.1);
    tavro::StoreField(r.Dmin, 3.2);
    tavro::StoreField(r.DistanceCounterMax, 12.0);
    tavro::StoreField(r.XYCounterMax, 3);
    tavro::StoreField(r.RollCounterMax, 5);
    tavro::StoreField(r.SubframeInterpolation, 3);
    tavro::StoreField(r.RotationCompensation, 1);
    tavro::StoreField(r.SleepingFactor, 30);
    tavro::StoreField(r.PowerThresh, 1);
    tavro::StoreField(r.ClickStill, 12);
    tavro::StoreField(r.XcalScreen, 1280);
    tavro::StoreField(r.YcalScreen, 768);
    tavro::StoreField(r.BaudRate, 115200);
    tavro::StoreField(r.DistanceScaling, 0);
    tavro::StoreText(r.DeviceName, "/dev/ttyUSB0");
}

// Numbers in the file always use a decimal point, whatever locale the client
// process has chosen.
class CNumericLocale {
public:
    CNumericLocale()
        : c_(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr))),
          previous_(c_ != static_cast<locale_t>(nullptr) ? uselocale(c_)
                                                         : static_cast<locale_t>(nullptr)) {}
    ~CNumericLocale() {
        if (c_ != static_cast<locale_t>(nullptr)) {
            uselocale(previous_);
            freelocale(c_);
        }
    }
    CNumericLocale(const CNumericLocale&) = delete;
    CNumericLocale& operator=(const CNumericLocale&) = delete;

private:
    locale_t c_;
    locale_t previous_;
};

// Base-10 integer as strtol reads it (0 for no digits, trailing text
// ignored), saturated to the range of the field.
int ParseInt(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Stores one key's text in its field.
void StoreSetting(SharedDeviceState& r, const SettingKey& key, const char* text) {
    if (key.type == SettingType::Text) {
        tavro::StoreTextAt(r, key.offset, key.size, text, strnlen(text, key.size - 1));
        return;
    }
    // Numbers are read from at most 255 characters.
    char number[256];
    std::snprintf(number, sizeof number, "%s", text);
    switch (key.type) {
        case SettingType::Double:
            tavro::StoreAt<double>(r, key.offset, std::strtod(number, nullptr));
            break;
        case SettingType::Int:
            tavro::StoreAt<int32_t>(r, key.offset, ParseInt(number));
            break;
        case SettingType::Flag:
            tavro::StoreAt<uint8_t>(r, key.offset, ParseInt(number) > 0 ? 1 : 0);
            break;
        case SettingType::Text:
            break;
    }
}

// Stores one setting only where it changes, so a reload that leaves a value
// as it was does not write it under a running pass at all.
template <typename T>
void CopySettingIfChanged(SharedDeviceState& to, const SharedDeviceState& from, const SettingKey& key) {
    const T value = tavro::LoadAt<T>(from, key.offset);
    if (tavro::LoadAt<T>(to, key.offset) != value) tavro::StoreAt<T>(to, key.offset, value);
}

// Copies the settings fields of `from` that differ into `to`, one field at a
// time and nothing else: into the record, a pass that runs meanwhile sees
// each setting's value from before or after, never a default that a key of
// the file then replaces, and the record's live fields are never touched.
void CopySettings(SharedDeviceState& to, const SharedDeviceState& from) {
    for (const SettingKey& key : kSettingKeys) {
        switch (key.type) {
            case SettingType::Double:
                CopySettingIfChanged<double>(to, from, key);
                break;
            case SettingType::Int:
                CopySettingIfChanged<int32_t>(to, from, key);
                break;
            case SettingType::Flag:
                CopySettingIfChanged<uint8_t>(to, from, key);
                break;
            case SettingType::Text: {
                const std::string value = tavro::LoadTextAt(from, key.offset, key.size);
                if (tavro::LoadTextAt(to, key.offset, key.size) != value)
                    tavro::StoreTextAt(to, key.offset, key.size, value.data(), value.size());
                break;
            }
        }
    }
}

// Formats one key's field as it is written to the file.
void FormatSetting(const SharedDeviceState& r, const SettingKey& key, char (&text)[256]) {
    switch (key.type) {
        case SettingType::Double:
            std::snprintf(text, sizeof text, "%f", tavro::LoadAt<double>(r, key.offset));
            break;
        case SettingType::Int:
            std::snprintf(text, sizeof text, "%d", tavro::LoadAt<int32_t>(r, key.offset));
            break;
        case SettingType::Flag:
            std::snprintf(text, sizeof text, "%d", tavro::LoadAt<uint8_t>(r, key.offset));
            break;
        case SettingType::Text:
            std::snprintf(text, sizeof text, "%s", tavro::LoadTextAt(r, key.offset, key.size).c_str());
            break;
    }
}


// One problem of the settings file: one line on standard error, prefixed
// with the program's name, and the same line in the platform's log.
void SettingsProblem(CTavroCore& core, const char* format, ...) __attribute__((format(printf, 2, 3)));
void SettingsProblem(CTavroCore& core, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text);
    if (core.ProblemLog != nullptr) core.ProblemLog(text);
}

// The parse report in one line, as xmllint's first line names the problem
// ("FILE:LINE: parser error : Opening and ending tag mismatch: ..."): the
// report's line that says "error" when there is one, else all of its lines
// joined.  The excerpt and caret lines below it are left out.
std::string OneLineReport(const char* path, const XMLResults& results) {
    char report[2048];
    XMLNode::formatParseReport(report, sizeof report, path, nullptr, results);
    std::string joined, errorLine;
    const char* line = report;
    while (*line != '\0') {
        const char* end = std::strchr(line, '\n');
        std::string text = end != nullptr ? std::string(line, end) : std::string(line);
        line = end != nullptr ? end + 1 : line + text.size();
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
            text.pop_back();
        size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text.find_first_not_of(" \t^", first) == std::string::npos)
            continue;
        text.erase(0, first);
        if (errorLine.empty() && text.find("error") != std::string::npos &&
            text.find("XML Parsing error inside file") == std::string::npos)
            errorLine = text;
        if (!joined.empty()) joined += ' ';
        joined += text;
    }
    if (errorLine.empty()) return joined;
    // "FILE:LINE: parser error : WHAT" becomes "line LINE: WHAT": the
    // message around it names the file already.
    const std::string marker = "parser error : ";
    const size_t at = errorLine.find(marker);
    if (at == std::string::npos) return errorLine;
    std::string what = errorLine.substr(at + marker.size());
    std::string place = errorLine.substr(0, at);
    while (!place.empty() && (place.back() == ' ' || place.back() == ':')) place.pop_back();
    const size_t colon = place.rfind(':');
    const std::string number = colon == std::string::npos ? "" : place.substr(colon + 1);
    if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos)
        return "line " + number + ": " + what;
    return what;
}

// Whether the text of a settings file holds a document the reader can take
// its values from.  *why gets the one-line parse report when it does not.
bool SettingsDocumentSound(const char* path, std::string* why) {
    XMLResults results{};
    XMLNode document = XMLNode::parseFile(path, nullptr, &results);
    if (results.error != eXMLErrorNone) {
        *why = OneLineReport(path, results);
        return false;
    }
    if (document.getChildNode("QuorVel").getChildNode("Settings").isEmpty()) {
        *why = "no <Quorvel><Settings> element";
        return false;
    }
    return true;
}

// Keeps a copy of the file beside it as PATH.broken-YYYYMMDD-HHMMSS (with
// "-2", "-3", ... appended when that name is taken; an earlier copy is never
// replaced).  Always a copy of the bytes, read through a symbolic link: a
// hard link would name the link itself, or share the file that a rewrite in
// place then changes.  Returns the copy's name, or empty with *why set.
std::string KeepBeside(const char* path, std::string* why) {
    char stamp[32] = "";
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = std::string(path) + ".broken-" + stamp;
    for (int attempt = 1; attempt < 1000; ++attempt) {
        const std::string copy = attempt == 1 ? base : base + "-" + std::to_string(attempt);
        int in = open(path, O_RDONLY | O_CLOEXEC);
        if (in < 0) {
            *why = std::strerror(errno);
            return "";
        }
        int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (out < 0) {
            int error = errno;
            close(in);
            if (error == EEXIST) continue;
            *why = std::strerror(error);
            return "";
        }
        bool good = true;
        char buffer[8192];
        for (;;) {
            ssize_t n = read(in, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) good = false;
            if (n <= 0) break;
            for (ssize_t done = 0; done < n;) {
                ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    good = false;
                    break;
                }
                done += w;
            }
            if (!good) break;
        }
        if (good && fsync(out) != 0) good = false;
        int error = errno;
        close(in);
        close(out);
        if (!good) {
            unlink(copy.c_str());
            *why = std::strerror(error);
            return "";
        }
        return copy;
    }
    *why = "too many earlier copies";
    return "";
}

// Builds the document from the record and writes it in one step.
XMLError WriteDocument(SharedDeviceState& r) {
    XMLNode document = XMLNode::createXMLTopNode("xml", 1);
    document.addAttribute("version", "1.0");
    XMLNode settings = document.addChild("Quorvel").addChild("Settings");
    {
        CNumericLocale numbers;
        char text[256];
        for (const SettingKey& key : kSettingKeys) {
            FormatSetting(r, key, text);
            settings.addChild(key.name).addText(text);
        }
    }
    errno = 0;
    return document.writeToFile(tavro::LoadText(r.IniFileName).c_str(), "ISO-8859-1", 1);
}

}  // namespace

void CTavroCore::NoteSettingsLoaded(int source) {
    if (SettingsLoaded != nullptr) SettingsLoaded(this, source);
}

int CTavroCore::ReadStaticSettings() {
    // Without a file to read, the process runs on the defaults rather than
    // a zeroed record; they go into the record unless a running device's
    // settings must stay as they are.
    auto runOnDefaults = [this] {
        auto defaults = std::make_shared<SharedDeviceState>();
        StoreDefaults(*defaults);
        FileSettingsView = defaults;
        if (!PublishReadSettings) return;
        InitializeValues();
        NoteSettingsLoaded(kSettingsFromDefaults);
    };
    GetSharedDataPath();
    int result = TV_GetIniFileName();
    if (result != 0) {
        Debug(__LINE__, kDebugFailure, "TV_GetIniFileName() failed");
        runOnDefaults();
        return result;
    }
    SharedDeviceState& r = *SharedData;
    const std::string file = tavro::LoadText(r.IniFileName);
    const std::string directory = tavro::LoadText(r.SettingsDirectory);
    if (!FileExists()) {
        // A file that is there but cannot be read is the user's: never
        // replace it with defaults.
        struct stat info {};
        if (stat(file.c_str(), &info) == 0) {
            int error = errno;
            FILE* probe = std::fopen(file.c_str(), "r");
            if (probe != nullptr) std::fclose(probe); else error = errno;
            runOnDefaults();
            SettingsProblem(*this, "cannot read the settings file %s: %s; running on the defaults "
                            "and leaving the file as it is", file.c_str(), std::strerror(error));
            return 0;
        }
        // A program that only attaches writes nothing.
        if (!CreateMissingSettingsFile) {
            runOnDefaults();
            return 0;
        }
        CreateIniDirectory();
        Debug(__LINE__, kDebugProgress, "CreateIniDirectory called");
        InitializeValues();
        Debug(__LINE__, kDebugProgress, "InitializeValues called");
        XMLError error = WriteDocument(r);
        Debug(__LINE__, kDebugProgress, "WriteSettings called");
        if (error != eXMLErrorNone) {
            // Nothing to read back: say it once and run on the defaults.
            // A missing directory is named by why it could not be made
            // (a read-only file system), not by the missing name.
            int cause = errno;
            if (cause == ENOENT && mkdir(directory.c_str(), 0777) != 0 && errno != ENOENT)
                cause = errno;
            const char* home = getenv("HOME");
            SettingsProblem(*this, "cannot create the settings file %s: %s; running on the defaults "
                            "%s%s%s", file.c_str(),
                            cause != 0 ? std::strerror(cause) : XMLNode::getError(error),
                            cause == ENOENT ? "(is HOME=" : "(nothing is saved)",
                            cause == ENOENT ? (home != nullptr ? home : "") : "",
                            cause == ENOENT ? " right?)" : "");
            NoteSettingsLoaded(kSettingsFromDefaults);
            return 0;
        }
    }
    return ReadSettings();
}

int CTavroCore::InitializeValues() {
    StoreDefaults(*SharedData);
    char path[256];
    TV_GetAppPath(path);
    std::strcpy(path, "Start_TavroMENU.exe");
    tavro::StoreText(SharedData->TavroMenuPath, path);
    Debug(__LINE__, kDebugFailure, "InitializeValues filename = %s ",
          tavro::LoadText(SharedData->TavroMenuPath).c_str());
    return 0;
}

int CTavroCore::ReadSettings() {
    SharedDeviceState& r = *SharedData;
    const std::string file = tavro::LoadText(r.IniFileName);
    Debug(__LINE__, kDebugFailure, "ReadSettings xml filename = %s ", file.c_str());

    // A key missing from the file keeps its default, not a stale value.  The
    // file is read into a copy and published once: the device may be
    // running (a reload on SIGHUP, another process starting).
    const auto copy = std::make_shared<SharedDeviceState>();  // 33 KiB: not on the stack
    SharedDeviceState& staged = *copy;
    CopySettings(staged, r);  // a key without a default keeps its value
    StoreDefaults(staged);
    tavro::StoreText(staged.TavroMenuPath, "Start_TavroMENU.exe");
    // Keeps the staged values as this process's view of its file and, unless
    // a running device's settings must stay as they are, publishes them and
    // notes where they came from.
    auto publish = [&](int source) {
        FileSettingsView = copy;
        if (!PublishReadSettings) return 0;
        CopySettings(r, staged);
        NoteSettingsLoaded(source);
        return 0;
    };

    // A file that does not parse must not end the client's process: report
    // it, run on the defaults, and leave the file for the user to mend (a
    // later rewrite keeps it beside first).
    XMLResults results{};
    XMLNode document = XMLNode::parseFile(file.c_str(), nullptr, &results);
    if (results.error != eXMLErrorNone) {
        SettingsProblem(*this, "the settings file %s does not parse (%s); running on the defaults "
                        "(a rewrite first keeps the file as %s.broken-YYYYMMDD-HHMMSS)",
                        file.c_str(), OneLineReport(file.c_str(), results).c_str(), file.c_str());
        // Values from a document that went wrong somewhere are not trusted.
        return publish(kSettingsFromDefaults);
    }

    CNumericLocale numbers;
    XMLNode root = document.getChildNode("QuorVel");
    // Without the XML declaration line the parser returns the root element
    // itself as the document: a hand-written file is read all the same.
    if (root.isEmpty() && document.getName() != nullptr && strcasecmp(document.getName(), "QuorVel") == 0)
        root = document;
    XMLNode settings = root.getChildNode("Settings");
    if (settings.isEmpty()) {
        SettingsProblem(*this, "the settings file %s has no Quorvel/Settings element; running on the "
                        "defaults", file.c_str());
        return publish(kSettingsFromDefaults);
    }
    for (const SettingKey& key : kSettingKeys) {
        const char* text = settings.getChildNode(key.name).getText();
        if (text == nullptr || text[0] == '\0') continue;
        StoreSetting(staged, key, text);
    }
    return publish(kSettingsFromFile);
}

int CTavroCore::WriteSettings() {
    SharedDeviceState& r = *SharedData;
    const std::string file = tavro::LoadText(r.IniFileName);
    const std::string folder = tavro::LoadText(r.SettingsDirectory);
    Debug(__LINE__, kDebugFailure, "WriteSettings filename = %s ", file.c_str());

    // The user's file is never lost: one that does not parse (a typo in a
    // hand edit) is kept beside before it is replaced, and when it cannot
    // be kept it is not replaced at all.
    std::string copy;
    std::string why;
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && info.st_size > 0 &&
        !SettingsDocumentSound(file.c_str(), &why)) {
        std::string failure;
        copy = KeepBeside(file.c_str(), &failure);
        if (copy.empty()) {
            SettingsProblem(*this, "the settings file %s does not parse (%s) and cannot be kept "
                            "beside (%s): not rewriting it; the new values are not saved",
                            file.c_str(), why.c_str(), failure.c_str());
            return eXMLErrorCannotOpenFileForWriting;
        }
    }

    // A program that attached without a file made no directory for it.
    struct stat directory {};
    if (stat(folder.c_str(), &directory) != 0 && errno == ENOENT) {
        errno = 0;
        CreateIniDirectory();
        const int reason = errno;
        if (stat(folder.c_str(), &directory) != 0) {
            SettingsProblem(*this, "cannot make the settings directory %s: %s; the new values are not "
                            "saved", folder.c_str(), reason != 0 ? std::strerror(reason) : "unknown reason");
            return eXMLErrorCannotOpenFileForWriting;
        }
    }
    // The writer replaces the file in one step, so a failed write leaves the
    // previous file whole.
    XMLError error = WriteDocument(r);
    if (error != eXMLErrorNone) {
        SettingsProblem(*this, "cannot write the settings file %s: %s (%s); the new values are not "
                        "saved", file.c_str(), XMLNode::getError(error),
                        errno != 0 ? std::strerror(errno) : "unknown reason");
        return error;
    }
    if (!copy.empty())
        SettingsProblem(*this, "the settings file %s did not parse (%s): kept it as %s and wrote a "
                        "new one from the running values", file.c_str(), why.c_str(), copy.c_str());
    return 0;
}
