// Reading and rewriting the daemon's configuration file.
#include "DaemonConfig.h"

#include "ConfigFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace tavro {
namespace {

const char kWhatItHolds[] = "a text file of \"key = value\" lines";


std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Splits a line into key and value; false for a line that is neither blank,
// a comment nor "key = value".
bool ParseLine(const std::string& raw, std::string* key, std::string* value) {
    const std::string line = Trim(raw);
    key->clear();
    if (line.empty() || line[0] == '#') return true;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    *key = Trim(line.substr(0, equals));
    *value = Trim(line.substr(equals + 1));
    return !key->empty();
}

// Quoted text from the file, cut short so that a huge line cannot flood the
// terminal.
std::string Excerpt(const std::string& text) {
    const size_t limit = 80;
    return text.size() <= limit ? text : text.substr(0, limit) + "...";
}

}  // namespace

std::string DaemonConfigPath() {
    const std::string directory = ConfigDirectory();
    return directory.empty() ? "" : directory + "/tavrod.conf";
}

bool ReadDaemonConfig(std::map<std::string, std::string>* values, std::string* error) {
    const std::string path = DaemonConfigPath();
    std::string text;
    if (!ReadUserFile(path, kWhatItHolds, &text, error)) return false;
    std::istringstream file(text);
    std::string line, key, value;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!ParseLine(line, &key, &value)) {
            if (error != nullptr)
                *error = path + ":" + std::to_string(number) + ": expected \"key = value\", found \"" +
                         Excerpt(Trim(line)) + "\"";
            return false;
        }
        if (!key.empty() && values != nullptr) (*values)[key] = value;
    }
    return true;
}

std::string UnknownDaemonConfigKeys(const std::map<std::string, std::string>& values) {
    const size_t named = 5, nameLimit = 40;
    size_t unknown = 0;
    std::string names;
    for (const auto& [key, value] : values) {
        if (key == "output" || key == "screen" || key == "filter") continue;
        if (unknown++ >= named) continue;
        names += (names.empty() ? "\"" : ", \"") +
                 (key.size() <= nameLimit ? key : key.substr(0, nameLimit) + "...") + "\"";
    }
    if (unknown == 0) return "";
    if (unknown > named) names += " and " + std::to_string(unknown - named) + " more";
    return DaemonConfigPath() + ": " + std::to_string(unknown) + " unknown key" + (unknown == 1 ? "" : "s") +
           " ignored: " + names + " (tavrod reads output, screen and filter)";
}

bool WriteDaemonConfigValue(const std::string& key, const std::string& value, std::string* error) {
    const std::string path = DaemonConfigPath();
    std::string message;
    if (path.empty()) {
        if (error != nullptr) *error = "cannot find a home directory for the daemon's configuration";
        return false;
    }
    // A file that cannot be read is left as it is rather than replaced.
    std::string oldText;
    if (!ReadUserFile(path, kWhatItHolds, &oldText, error)) return false;
    std::vector<std::string> lines;
    {
        std::istringstream old(oldText);
        std::string line;
        while (std::getline(old, line)) lines.push_back(line);
    }
    bool replaced = false;
    for (std::string& line : lines) {
        std::string k, v;
        if (ParseLine(line, &k, &v) && k == key) {
            line = key + " = " + value;
            replaced = true;
        }
    }
    if (!replaced) {
        if (lines.empty()) lines.push_back("# tavrod configuration");
        lines.push_back(key + " = " + value);
    }
    std::string text;
    for (const std::string& line : lines) text += line + "\n";

    return ReplaceFileThroughLinks(path, text, error);
}

}  // namespace tavro
