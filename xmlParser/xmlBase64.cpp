// Base64 encoding and decoding of binary data held in XML text.
#include "xmlInternal.h"

#include <cstdlib>
#include <cstring>

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const int lineLength = 72;  // characters per line of formatted output

int sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes `text` into `out` (when not null, at most `capacity` bytes); the number of bytes goes
// to *length. Returns the outcome: 0, a warning (17, 19) or an error (18, 20).
XMLError scan(const char* text, unsigned char* out, size_t capacity, size_t* length) {
    size_t produced = 0;
    unsigned group = 0;  // characters of the current group of four, padding included
    unsigned padding = 0;
    bool ended = false;  // a complete padded group was seen: only blanks may follow
    unsigned long bits = 0;
    auto emit = [&](unsigned char byte) {
        if (out) {
            if (produced >= capacity) return false;
            out[produced] = byte;
        }
        ++produced;
        return true;
    };
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (xmlIsBlank(*p)) continue;
        if (ended) {
            *length = produced;
            return eXMLErrorBase64IllegalCharacter;
        }
        if (*p == '=') {
            if (group < 2) {  // padding can only stand for the last one or two characters
                *length = produced;
                return eXMLErrorBase64IllegalCharacter;
            }
            ++padding;
            ++group;
        } else {
            int v = sextet(*p);
            if (v < 0 || padding) {
                *length = produced;
                return eXMLErrorBase64IllegalCharacter;
            }
            bits = bits << 6 | static_cast<unsigned>(v);
            ++group;
        }
        if (group == 4) {
            unsigned data = 4 - padding;
            bits <<= 6 * padding;
            bool ok = emit(static_cast<unsigned char>(bits >> 16));
            if (data > 2) ok = ok && emit(static_cast<unsigned char>(bits >> 8));
            if (data > 3) ok = ok && emit(static_cast<unsigned char>(bits));
            if (!ok) {
                *length = produced;
                return eXMLErrorBase64OutputBufferTooSmall;
            }
            ended = padding > 0;
            group = padding = 0;
            bits = 0;
        }
    }
    XMLError result = eXMLErrorNone;
    unsigned data = group - padding;
    if (group == 1) {
        result = eXMLWarningBase64Truncated;  // six bits make no byte
    } else if (group > 1) {
        // Two or three characters without their padding still make one or two whole bytes.
        bits <<= 6 * (4 - data);
        bool ok = emit(static_cast<unsigned char>(bits >> 16));
        if (data == 3) ok = ok && emit(static_cast<unsigned char>(bits >> 8));
        result = ok ? eXMLWarningBase64LengthNotMultipleOf4 : eXMLErrorBase64OutputBufferTooSmall;
    }
    *length = produced;
    return result;
}

}  // namespace

XMLParserBase64Tool::~XMLParserBase64Tool() { freeBuffer(); }

void XMLParserBase64Tool::freeBuffer() {
    free(buffer);
    buffer = nullptr;
}

int XMLParserBase64Tool::encodeLength(int inByteLength, char formatted) {
    if (inByteLength <= 0) return 0;
    int characters = (inByteLength + 2) / 3 * 4;
    if (formatted) characters += (characters - 1) / lineLength;
    return characters;
}

char* XMLParserBase64Tool::encode(const unsigned char* data, unsigned int length, char formatted) {
    if (!data) length = 0;
    int size = encodeLength(static_cast<int>(length), formatted);
    char* out = static_cast<char*>(xmlRealloc(buffer, static_cast<size_t>(size) + 1));
    buffer = out;
    int o = 0, column = 0;
    auto put = [&](char c) {
        if (formatted && column == lineLength) {
            out[o++] = '\n';
            column = 0;
        }
        out[o++] = c;
        ++column;
    };
    for (unsigned int i = 0; i < length; i += 3) {
        unsigned left = length - i;
        unsigned long bits = static_cast<unsigned long>(data[i]) << 16;
        if (left > 1) bits |= static_cast<unsigned long>(data[i + 1]) << 8;
        if (left > 2) bits |= data[i + 2];
        put(alphabet[bits >> 18 & 63]);
        put(alphabet[bits >> 12 & 63]);
        put(left > 1 ? alphabet[bits >> 6 & 63] : '=');
        put(left > 2 ? alphabet[bits & 63] : '=');
    }
    out[o] = 0;
    return out;
}

unsigned int XMLParserBase64Tool::decodeSize(const char* text, XMLError* error) {
    size_t length = 0;
    XMLError result = text ? scan(text, nullptr, 0, &length) : eXMLErrorNone;
    if (error) *error = result;
    return static_cast<unsigned int>(length);
}

unsigned char* XMLParserBase64Tool::decode(const char* text, int* outLength, XMLError* error) {
    XMLError result = eXMLErrorNone;
    size_t size = decodeSize(text, &result);
    if (result == eXMLErrorBase64IllegalCharacter) {
        if (outLength) *outLength = 0;
        if (error) *error = result;
        return nullptr;
    }
    unsigned char* out = static_cast<unsigned char*>(xmlRealloc(buffer, size + 1));
    buffer = out;
    size_t length = 0;
    if (text) result = scan(text, out, size, &length);
    out[length] = 0;
    if (outLength) *outLength = static_cast<int>(length);
    if (error) *error = result;
    return out;
}

unsigned char XMLParserBase64Tool::decode(const char* text, unsigned char* out, int capacity,
                                          XMLError* error) {
    size_t length = 0;
    XMLError result = eXMLErrorNone;
    if (text) {
        if (!out || capacity < 0) capacity = 0;
        unsigned char none;
        result = scan(text, out ? out : &none, static_cast<size_t>(capacity), &length);
    }
    if (error) *error = result;
    return result != eXMLErrorBase64IllegalCharacter &&
           result != eXMLErrorBase64OutputBufferTooSmall;
}
