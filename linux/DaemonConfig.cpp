// Reading and rewriting the daemon's configuration file.
#include "DaemonConfig.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace tavro {
namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string HomeDirectory() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != '\0') return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

std::string ConfigDirectory() {
    const char* xdg = getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tavro";
    const std::string home = HomeDirectory();
    return home.empty() ? "" : home + "/.config/tavro";
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

bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

std::string SystemError(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string DaemonConfigPath() {
    const std::string directory = ConfigDirectory();
    return directory.empty() ? "" : directory + "/tavrod.conf";
}

bool ReadDaemonConfig(std::map<std::string, std::string>* values, std::string* error) {
    const std::string path = DaemonConfigPath();
    std::ifstream file(path);
    if (!file) return true;
    std::string line, key, value;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!ParseLine(line, &key, &value)) {
            if (error != nullptr)
                *error = path + ":" + std::to_string(number) + ": expected \"key = value\", found \"" +
                         Trim(line) + "\"";
            return false;
        }
        if (!key.empty() && values != nullptr) (*values)[key] = value;
    }
    return true;
}

bool WriteDaemonConfigValue(const std::string& key, const std::string& value, std::string* error) {
    const std::string path = DaemonConfigPath();
    std::string message;
    if (path.empty()) {
        if (error != nullptr) *error = "cannot find a home directory for the daemon's configuration";
        return false;
    }
    std::vector<std::string> lines;
    {
        std::ifstream old(path);
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

    if (!MakeDirectories(ConfigDirectory())) {
        if (error != nullptr) *error = SystemError("create", ConfigDirectory());
        return false;
    }
    const std::string temporary = path + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error != nullptr) *error = SystemError("write", temporary);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool written = done == text.size() && fsync(fd) == 0;
    const int savedErrno = errno;
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        errno = written ? errno : savedErrno;
        if (error != nullptr) *error = SystemError("write", path);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace tavro
