// Writing documents: escaping, the indented text form of a tree, and files that are replaced
// as a whole.
#include "xmlInternal.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// For each byte, 1 + the index of its entity in XMLEntities, or 0 when it is written as it is.
// The five characters are all below 0x40, so they are never a trailing byte of a character
// (see xmlCharWidth) and runs between them can be copied whole.
struct EscapeTable {
    unsigned char entity[256] = {};
    EscapeTable() {
        for (int i = 0; i < XMLEntityCount; ++i)
            entity[static_cast<unsigned char>(XMLEntities[i].character)] =
                static_cast<unsigned char>(i + 1);
    }
};
const EscapeTable escapes;

const char tabRun[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";

// Output of the writer: a buffer that grows as needed, or one known to be large enough
// (`fixed`), or none at all, which only counts.
struct Sink {
    char* out;
    size_t n;
    size_t capacity;
    bool fixed;

    void reserve(size_t more) {
        if (!out || fixed || n + more <= capacity) return;
        size_t want = capacity * 2;
        if (want < n + more) want = n + more;
        out = static_cast<char*>(xmlRealloc(out, want));
        capacity = want;
    }
    void put(const char* s, size_t length) {
        if (out) {
            reserve(length);
            memcpy(out + n, s, length);
        }
        n += length;
    }
    void put(const char* s) { put(s, strlen(s)); }
    void ch(char c) {
        if (out) {
            reserve(1);
            out[n] = c;
        }
        ++n;
    }
    void tabs(int count) {
        while (count > 0) {
            int k = count < static_cast<int>(sizeof tabRun - 1) ? count
                                                                 : static_cast<int>(sizeof tabRun - 1);
            put(tabRun, static_cast<size_t>(k));
            count -= k;
        }
    }
    // Text with the five special characters written as entities; multi-byte characters are
    // copied whole.
    void escaped(const char* s) { escaped(s, s + strlen(s)); }
    void escaped(const char* from, const char* to) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(from);
        const unsigned char* end = reinterpret_cast<const unsigned char*>(to);
        while (p < end) {
            const unsigned char* q = p;
            while (q < end && !escapes.entity[*q]) ++q;
            put(reinterpret_cast<const char*>(p), static_cast<size_t>(q - p));
            if (q == end) break;
            const XMLEntity& e = XMLEntities[escapes.entity[*q] - 1];
            put(e.text, e.length);
            p = q + 1;
        }
    }
    // A text item. While the option dropWhiteSpace is set the reader trims blanks around texts,
    // so blanks at either end are then written as character references, which survive the
    // trimming and read back as the same blanks.
    void text(const char* s) {
        size_t length = strlen(s), from = 0, to = length;
        if (xmlOptions.dropWhiteSpace) {
            while (from < to && xmlIsBlank(static_cast<unsigned char>(s[from]))) ++from;
            while (to > from && xmlIsBlank(static_cast<unsigned char>(s[to - 1]))) --to;
        }
        for (size_t i = 0; i < from; ++i) reference(s[i]);
        escaped(s + from, s + to);
        for (size_t i = to; i < length; ++i) reference(s[i]);
    }
    void reference(char c) {
        char buffer[8];
        put(buffer, static_cast<size_t>(snprintf(buffer, sizeof buffer, "&#%d;", c)));
    }
};

// Writes one node and everything below it at formatting level `f`: -1 unformatted, 0 and up the
// number of tabs before the node's tags, -2 (set here) an element written on one line because
// its only content is one text.
void writeNode(const XMLNodeDataTag* d, int f, Sink& o) {
    int n = d->nChild + d->nText + d->nClear;
    int level = f;
    if (f >= 0 && n == 1 && (d->order[0] & 3) == eNodeText && !d->isDeclaration) level = -2;
    bool named = d->name && d->name[0];
    bool declaration = d->isDeclaration != 0;

    if (named) {
        o.tabs(f);
        o.ch('<');
        if (declaration) o.ch('?');
        o.put(d->name);
        for (int i = 0; i < d->nAttribute; ++i) {
            const XMLAttribute& a = d->attributes[i];
            if (!a.name || !a.name[0]) continue;
            o.ch(' ');
            o.put(a.name);
            if (a.value) {
                o.put("=\"");
                o.escaped(a.value);
                o.ch('"');
            }
        }
        if (declaration) {
            o.put("?>");
            if (level != -1) o.ch('\n');
        } else if (n) {
            o.ch('>');
            if (level >= 0) o.ch('\n');
        }
    }

    // A declaration's children are written at its own indentation.
    int childLevel = level == -1 ? -1 : (named && !declaration ? level + 1 : level);
    for (int i = 0; i < n; ++i) {
        int kind = d->order[i] & 3, index = d->order[i] >> 2;
        if (kind == eNodeText) {
            const char* t = d->texts[index];
            if (!*t) continue;
            o.tabs(level + 1);
            o.text(t);
            if (level >= 0) o.ch('\n');
        } else if (kind == eNodeClear) {
            const XMLClear& c = d->clears[index];
            if (level != -1) o.tabs(level + 1);
            if (c.openTag) o.put(c.openTag);
            if (c.value) o.put(c.value);
            if (c.closeTag) o.put(c.closeTag);
            if (level != -1) o.ch('\n');
        } else {
            writeNode(d->children[index], childLevel, o);
        }
    }

    if (named && !declaration) {
        if (n) {
            if (level >= 0) o.tabs(f);
            o.put("</");
            o.put(d->name);
            o.ch('>');
        } else {
            o.put("/>");
        }
        if (level != -1) o.ch('\n');
    }
}

bool writeAll(int fd, const char* p, size_t n) {
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

struct Piece {
    const char* data;
    size_t length;
};

bool writePieces(int fd, const Piece* pieces, int count) {
    for (int i = 0; i < count; ++i)
        if (!writeAll(fd, pieces[i].data, pieces[i].length)) return false;
    return true;
}

// Writes straight into the file. Used for files that are not regular files (devices, pipes) and
// where no temporary file can be made beside the target.
XMLError writeInPlace(const char* path, const Piece* pieces, int count) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return eXMLErrorCannotOpenFileForWriting;
    bool ok = writePieces(fd, pieces, count);
    if (close(fd) != 0) ok = false;
    return ok ? eXMLErrorNone : eXMLErrorCannotWriteIntoFile;
}

// The path that a chain of symbolic links at `filename` ends in, whether or not that last name
// exists (a relative link is taken from its own directory); null when `filename` is no link or
// the chain cannot be followed (too long, unreadable), so that the name itself is written.
char* followLinks(const char* filename) {
    char* path = nullptr;
    const char* current = filename;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (lstat(current, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        char target[4096];
        ssize_t n = readlink(current, target, sizeof target - 1);
        if (n <= 0) break;
        target[n] = '\0';
        const char* slash = strrchr(current, '/');
        size_t keep = target[0] == '/' || !slash ? 0 : static_cast<size_t>(slash - current) + 1;
        char* next = static_cast<char*>(xmlMalloc(keep + static_cast<size_t>(n) + 1));
        memcpy(next, current, keep);
        memcpy(next + keep, target, static_cast<size_t>(n) + 1);
        free(path);
        path = next;
        current = path;
    }
    free(path);
    return nullptr;
}

// Replaces a regular file as a whole: the content goes to a new file in the same directory,
// which is flushed to disk and renamed over the target. Readers (other processes reading the
// settings) see either the old or the new file, and a failed write leaves the old one intact.
XMLError writeReplacing(const char* filename, const Piece* pieces, int count) {
    struct stat st;
    bool exists = stat(filename, &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return eXMLErrorCannotOpenFileForWriting;
    if (exists && !S_ISREG(st.st_mode)) return writeInPlace(filename, pieces, count);
    // A file we may not write stays untouched, even though its directory would let us replace it.
    if (exists && access(filename, W_OK) != 0) return eXMLErrorCannotOpenFileForWriting;

    // Through a symbolic link the real file is replaced, not the link, also when the link's
    // target does not exist yet: it is created where the link points.
    char* real = followLinks(filename);
    const char* path = real ? real : filename;

    static std::atomic<unsigned> serial{0};
    size_t size = strlen(path) + 48;
    char* tmp = static_cast<char*>(xmlMalloc(size));
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        snprintf(tmp, size, "%s.tmp%ld.%u", path, static_cast<long>(getpid()), serial++);
        fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        free(tmp);
        free(real);
        return writeInPlace(filename, pieces, count);
    }
    if (exists) {
        // The new file takes the old one's permissions and, where allowed, its owner.
        if (fchmod(fd, st.st_mode & 07777) != 0) { /* keep the default permissions */ }
        if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* only possible for the owner or root */ }
    }
    bool ok = writePieces(fd, pieces, count);
    if (ok && fsync(fd) != 0 && errno != EINVAL) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp, path) != 0) ok = false;
    if (!ok) unlink(tmp);
    free(tmp);
    free(real);
    return ok ? eXMLErrorNone : eXMLErrorCannotWriteIntoFile;
}

}  // namespace

// ---- ToXMLStringTool ---------------------------------------------------------------------------

ToXMLStringTool::~ToXMLStringTool() { freeBuffer(); }

void ToXMLStringTool::freeBuffer() {
    free(buffer);
    buffer = nullptr;
    capacity = 0;
}

int ToXMLStringTool::lengthXMLString(const char* source) {
    if (!source) return 0;
    Sink counter{nullptr, 0, 0, false};
    counter.escaped(source);
    return static_cast<int>(counter.n);
}

char* ToXMLStringTool::toXMLUnSafe(char* dest, const char* source) {
    Sink s{dest, 0, 0, true};
    if (source) s.escaped(source);
    dest[s.n] = 0;
    return dest;
}

char* ToXMLStringTool::toXML(const char* source) {
    int length = lengthXMLString(source);
    if (length + 1 > capacity) {
        buffer = static_cast<char*>(xmlRealloc(buffer, static_cast<size_t>(length) + 1));
        capacity = length + 1;
    }
    return toXMLUnSafe(buffer, source);
}

// ---- XMLNode -----------------------------------------------------------------------------------

char* XMLNode::createXMLString(int format, int* size) const {
    if (!d) {
        if (size) *size = 0;
        return nullptr;
    }
    int level = format && xmlOptions.dropWhiteSpace ? 0 : -1;
    // One pass into a buffer that doubles as it fills, then cut to the exact size. A parsed
    // document written as a whole comes back at about the size it was read, so the buffer
    // starts there and large documents are not copied while it grows.
    size_t capacity = 4096;
    if (d->arena && !d->parent) capacity += d->arena->sourceLength + d->arena->sourceLength / 8;
    Sink s{static_cast<char*>(xmlMalloc(capacity)), 0, capacity, false};
    writeNode(d, level, s);
    s.ch(0);
    char* out = static_cast<char*>(xmlRealloc(s.out, s.n));
    if (size) *size = static_cast<int>(s.n - 1);
    return out;
}

XMLError XMLNode::writeToFile(const char* filename, const char* encoding, char format) const {
    if (!d) return eXMLErrorNone;
    if (!filename || !*filename) return eXMLErrorCannotOpenFileForWriting;

    bool named = d->name && d->name[0];
    bool needDeclaration =
        !(d->isDeclaration || (!named && d->nChild > 0 && d->children[0]->isDeclaration));
    bool utf8 = xmlOptions.characterEncoding == char_encoding_UTF8;
    const char* name = utf8 ? "utf-8"
                       : xmlOptions.characterEncoding == char_encoding_ShiftJIS ? "SHIFT-JIS"
                       : encoding ? encoding : "ISO-8859-1";

    size_t headerSize = strlen(name) + 64;
    char* header = static_cast<char*>(xmlMalloc(headerSize));
    size_t headerLength = 0;
    if (utf8) {
        memcpy(header, "\xEF\xBB\xBF", 3);
        headerLength = 3;
    }
    if (needDeclaration)
        headerLength += static_cast<size_t>(snprintf(header + headerLength,
                                                     headerSize - headerLength,
                                                     "<?xml version=\"1.0\" encoding=\"%s\"?>\n",
                                                     name));
    char* body = createXMLString(format);
    Piece pieces[2] = {{header, headerLength}, {body, strlen(body)}};
    XMLError result = writeReplacing(filename, pieces, 2);
    free(header);
    freeXMLString(body);
    return result;
}
