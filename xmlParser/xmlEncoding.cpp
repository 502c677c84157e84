// Character encodings: the width tables, stepping over characters, guessing a document's
// encoding, and turning wide-character files into 8-bit text.
#include "xmlInternal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// UTF-8: 0xC2..0xDF start 2-byte, 0xE0..0xEF 3-byte, 0xF0..0xF4 4-byte characters.
const unsigned char XML_utf8ByteTable[256] = {
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    4, 4, 4, 4, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
};

// Single-byte encodings (ISO-8859 family, ASCII).
const unsigned char XML_legacyByteTable[256] = {
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
};

// Shift-JIS: 0x81..0x9F and 0xE0..0xEF start 2-byte characters.
const unsigned char XML_sjisByteTable[256] = {
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
};

// GB2312: 0xA1..0xF7 start 2-byte characters.
const unsigned char XML_gb2312ByteTable[256] = {
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1,
};

// GBK and Big5: 0x81..0xFE start 2-byte characters.
const unsigned char XML_gbk_big5_ByteTable[256] = {
    0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1,
};

const unsigned char* XML_ByteTable = XML_utf8ByteTable;

size_t xmlCharWidth(const unsigned char* p, size_t remaining) {
    size_t width = XML_ByteTable[*p];
    if (width <= 1 || remaining < width) return 1;
    bool utf8 = XML_ByteTable == XML_utf8ByteTable;
    // Checked one byte at a time, so a NUL ends the check before anything beyond it is read.
    for (size_t k = 1; k < width; ++k) {
        unsigned char c = p[k];
        if (utf8 ? (c < 0x80 || c > 0xBF) : c < 0x40) return 1;
    }
    return width;
}

namespace {

uint32_t readLE32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool startsWithIgnoreCase(const unsigned char* p, size_t available, const char* word) {
    size_t n = strlen(word);
    if (available < n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char a = p[i], b = static_cast<unsigned char>(word[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + 32);
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + 32);
        if (a != b) return false;
    }
    return true;
}

// Appends the UTF-8 form of a code point (at most 4 bytes).
size_t putUtf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | cp >> 6);
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | cp >> 12);
        out[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | cp >> 18);
    out[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Decodes wide text into code points, up to the first 0. A 16-bit byte-order mark means UTF-16
// in that byte order (a 32-bit little-endian mark FF FE 00 00 means UTF-32); without a mark the
// text is taken as 32-bit little-endian units. Returns false for malformed text: a cut unit, an
// unpaired surrogate or a value beyond Unicode.
bool decodeWide(const unsigned char* b, size_t length, uint32_t* out, size_t* count) {
    size_t n = 0;
    if (length >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)) &&
        !(length >= 4 && b[0] == 0xFF && b[2] == 0 && b[3] == 0)) {
        bool little = b[0] == 0xFF;
        for (size_t i = 2; i + 1 < length; i += 2) {
            uint32_t u = little ? (b[i] | b[i + 1] << 8) : (b[i] << 8 | b[i + 1]);
            if (u >= 0xD800 && u <= 0xDBFF) {
                i += 2;
                if (i + 1 >= length) return false;
                uint32_t lo = little ? (b[i] | b[i + 1] << 8) : (b[i] << 8 | b[i + 1]);
                if (lo < 0xDC00 || lo > 0xDFFF) return false;
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
            } else if (u >= 0xDC00 && u <= 0xDFFF) {
                return false;
            }
            if (u == 0) break;
            out[n++] = u;
        }
    } else {
        size_t start = (length >= 4 && b[0] == 0xFF && b[1] == 0xFE) ? 4 : 0;
        if ((length - start) % 4) return false;
        for (size_t i = start; i < length; i += 4) {
            uint32_t u = readLE32(b + i);
            if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return false;
            if (u == 0) break;
            out[n++] = u;
        }
    }
    *count = n;
    return true;
}

}  // namespace

bool xmlIsWideText(const unsigned char* data, size_t length) {
    if (length < 4 || length % 2) return false;
    unsigned mark = data[0] | data[1] << 8;
    if (mark == 0xFEFF || mark == 0xFFFE) return true;
    size_t units = length / 4 < 256 ? length / 4 : 256;
    size_t small = 0;
    for (size_t i = 0; i < units; ++i) {
        uint32_t u = readLE32(data + 4 * i);
        if (u == 0) return true;
        if (u < 256) ++small;
    }
    return small * 2 > units;
}

bool xmlConvertWideText(const unsigned char* data, size_t length, char** text,
                        size_t* textLength) {
    uint32_t* cps = static_cast<uint32_t*>(xmlMalloc((length / 2 + 1) * sizeof(uint32_t)));
    size_t n = 0;
    if (!decodeWide(data, length, cps, &n)) {
        free(cps);
        return false;
    }
    char* out = nullptr;
    size_t outLength = 0;
    if (xmlOptions.characterEncoding == XMLNode::char_encoding_UTF8) {
        // The parser reads UTF-8 by its own table, so the conversion needs no locale.
        out = static_cast<char*>(xmlMalloc(4 * n + 1));
        for (size_t i = 0; i < n; ++i) outLength += putUtf8(cps[i], out + outLength);
    } else {
        // Other encodings go through the locale's conversion.
        wchar_t* wide = static_cast<wchar_t*>(xmlMalloc((n + 1) * sizeof(wchar_t)));
        for (size_t i = 0; i < n; ++i) wide[i] = static_cast<wchar_t>(cps[i]);
        wide[n] = 0;
        const wchar_t* src = wide;
        mbstate_t state;
        memset(&state, 0, sizeof state);
        size_t need = wcsrtombs(nullptr, &src, 0, &state);
        if (need == static_cast<size_t>(-1)) {
            free(wide);
            free(cps);
            return false;
        }
        out = static_cast<char*>(xmlMalloc(need + 1));
        src = wide;
        memset(&state, 0, sizeof state);
        outLength = wcsrtombs(out, &src, need + 1, &state);
        free(wide);
        if (outLength == static_cast<size_t>(-1)) {
            free(out);
            free(cps);
            return false;
        }
    }
    free(cps);
    out[outLength] = 0;
    *text = out;
    *textLength = outLength;
    return true;
}

XMLNode::XMLCharEncoding XMLNode::guessCharEncoding(const void* buffer, int length,
                                                    char useXMLEncodingAttribute) {
    if (!buffer || length < 25) return char_encoding_error;
    const unsigned char* b = static_cast<const unsigned char*>(buffer);
    size_t n = static_cast<size_t>(length);
    if (xmlOptions.guessWideCharChars && xmlIsWideText(b, n)) return char_encoding_error;
    if (b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) return char_encoding_UTF8;

    // Valid UTF-8 stays a UTF-8 guess; the first invalid sequence makes it single-byte. A byte
    // that can never start a UTF-8 character counts as invalid too, and a character cut by the
    // end of the buffer (it may be a prefix of a longer file) decides nothing.
    XMLCharEncoding guess = char_encoding_UTF8;
    for (size_t i = 0; i < n && b[i];) {
        size_t w = XML_utf8ByteTable[b[i]];
        if (w == 1 && b[i] >= 0x80) {
            guess = char_encoding_legacy;
            break;
        }
        if (i + w > n) break;
        bool bad = false;
        for (size_t k = 1; k < w; ++k)
            if (b[i + k] < 0x80 || b[i + k] > 0xBF) bad = true;
        if (bad) {
            guess = char_encoding_legacy;
            break;
        }
        i += w;
    }
    if (!useXMLEncodingAttribute) return guess;

    size_t scan = n < 200 ? n : 200;
    const char* word = "encoding";
    size_t p = 0;
    while (p + 8 <= scan && memcmp(b + p, word, 8) != 0) ++p;
    if (p + 8 > scan) return guess;
    p += 8;
    while (p < n && xmlIsBlank(b[p])) ++p;
    if (p >= n || b[p] != '=') return guess;
    ++p;
    while (p < n && xmlIsBlank(b[p])) ++p;
    if (p >= n || (b[p] != '"' && b[p] != '\'')) return guess;
    ++p;
    const unsigned char* v = b + p;
    size_t avail = n - p;
    if (startsWithIgnoreCase(v, avail, "utf-8") || startsWithIgnoreCase(v, avail, "utf8"))
        return guess == char_encoding_UTF8 ? char_encoding_UTF8 : char_encoding_error;
    if (startsWithIgnoreCase(v, avail, "shiftjis") || startsWithIgnoreCase(v, avail, "shift-jis") ||
        startsWithIgnoreCase(v, avail, "sjis"))
        return char_encoding_ShiftJIS;
    if (startsWithIgnoreCase(v, avail, "GB2312")) return char_encoding_GB2312;
    if (startsWithIgnoreCase(v, avail, "Big5")) return char_encoding_Big5;
    if (startsWithIgnoreCase(v, avail, "GBK")) return char_encoding_GBK;
    return char_encoding_legacy;
}
