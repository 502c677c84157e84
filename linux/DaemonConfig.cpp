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

// The name a chain of symbolic links at `path` ends in, existing or not (a
// relative link counts from its own directory), so that a rewrite replaces
// the file the link points to and keeps the link.  `path` itself when it is
// no link or the chain does not end.
std::string FollowLinks(const std::string& path) {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        char target[4096];
        const ssize_t n = readlink(current.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        const std::string link(target, static_cast<size_t>(n));
        const size_t slash = current.rfind('/');
        current = link[0] == '/' || slash == std::string::npos ? link : current.substr(0, slash + 1) + link;
    }
    return path;
}

// Quoted text from the file, cut short so that a huge line cannot flood the
// terminal.
std::string Excerpt(const std::string& text) {
    const size_t limit = 80;
    return text.size() <= limit ? text : text.substr(0, limit) + "...";
}

std::string SystemError(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

// The whole text of the file at `path`: empty for a missing file; false
// with *error set to one line for one that cannot be read as a
// configuration.  Opened without blocking, so a FIFO put there cannot stall
// the caller, and read only when it is a regular file of at most 64 KiB.
bool ReadConfigText(const std::string& path, std::string* text, std::string* error) {
    const size_t limit = 64 * 1024;
    const std::string tooLarge = "larger than 64 KiB, too large for a configuration; shorten it";
    const std::string unreadable = "cannot read it: ";
    text->clear();
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = path + ": " + why;
        return false;
    };
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // A file that is not there, or that this user cannot even see (a home
    // it may not search), is no configuration; one it sees but may not read
    // is reported.
    struct stat seen {};
    if (fd < 0 && (errno == ENOENT || stat(path.c_str(), &seen) != 0)) return true;
    if (fd < 0)
        return fail(unreadable + std::strerror(errno) + "; check its permissions");
    struct stat info {};
    std::string problem;
    if (fstat(fd, &info) != 0) {
        problem = unreadable + std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        problem = "not a regular file; replace it with a text file of \"key = value\" lines";
    } else if (static_cast<size_t>(info.st_size) > limit) {
        problem = tooLarge;
    } else {
        char buffer[8192];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                problem = unreadable + std::strerror(errno);
                break;
            }
            if (n == 0) break;
            text->append(buffer, static_cast<size_t>(n));
            if (text->size() > limit) {
                problem = tooLarge;
                break;
            }
        }
    }
    close(fd);
    return problem.empty() || fail(problem);
}

}  // namespace

std::string DaemonConfigPath() {
    const std::string directory = ConfigDirectory();
    return directory.empty() ? "" : directory + "/tavrod.conf";
}

bool ReadDaemonConfig(std::map<std::string, std::string>* values, std::string* error) {
    const std::string path = DaemonConfigPath();
    std::string text;
    if (!ReadConfigText(path, &text, error)) return false;
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
    if (!ReadConfigText(path, &oldText, error)) return false;
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

    if (!MakeDirectories(ConfigDirectory())) {
        if (error != nullptr) *error = SystemError("create", ConfigDirectory());
        return false;
    }
    const std::string target = FollowLinks(path);
    const std::string temporary = target + ".tmp";
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
    if (!written || rename(temporary.c_str(), target.c_str()) != 0) {
        errno = written ? errno : savedErrno;
        if (error != nullptr) *error = SystemError("write", path);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace tavro
