#include "ConfigFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavro {
namespace {

std::string HomeDirectory() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != '\0') return home;
    const passwd* entry = getpwuid(getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
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

std::string SystemError(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string ConfigDirectory() {
    const char* xdg = getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/tavro";
    const std::string home = HomeDirectory();
    return home.empty() ? "" : home + "/.config/tavro";
}

bool ReadUserFile(const std::string& path, const char* whatItHolds, std::string* text, std::string* error) {
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
        problem = std::string("not a regular file; replace it with ") + whatItHolds;
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


bool MakeDirectoryFor(const std::string& path, std::string* error) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0 || MakeDirectories(path.substr(0, slash))) return true;
    if (error != nullptr) *error = SystemError("create", path.substr(0, slash));
    return false;
}

bool ReplaceFileThroughLinks(const std::string& path, const std::string& text, std::string* error) {
    const std::string target = FollowLinks(path);
    if (!MakeDirectoryFor(target, error)) return false;
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
