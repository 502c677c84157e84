// Reading documents: the tokenizer, the forgiving element parser, entity decoding, error
// positions, and the string, file and settings-file entry points.
//
// The parser works on a byte range and checks every look-ahead against its end, so it never
// reads past the input, whether or not the input is NUL-terminated.
#include "xmlInternal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum TokenKind {
    TokEnd,          // end of input
    TokClear,        // a clear open tag; the position is past it
    TokQuoted,       // "..." or '...', quotes included
    TokShortClose,   // />
    TokEndTagStart,  // </
    TokDeclStart,    // <?
    TokTagStart,     // <
    TokEquals,       // =
    TokTagClose,     // >
    TokText          // anything else, up to a blank, <, =, >, /> or the end
};

struct Token {
    TokenKind kind;
    size_t start;
    size_t length;
    int clear;  // index in XMLClearTags for TokClear
};

// How an element's parse ended.
enum Outcome {
    Complete,  // the element is closed; the parent goes on
    Content,   // the start tag is closed; the element's content follows
    Stop       // parsing is over: end of input or an error
};

class Parser {
public:
    Parser(const char* text, size_t length)
        : s(reinterpret_cast<const unsigned char*>(text)), n(length) {}

    // Parses the whole input as the content of the unnamed root.
    void parseDocument(XMLNodeDataTag* documentRoot) {
        root = documentRoot;
        parseContent(root, 0);
        xmlShrinkRecord(root);
    }

    XMLError code = eXMLErrorNone;
    size_t errorPosition = 0;

private:
    const unsigned char* s;
    size_t n;
    size_t pos = 0;
    XMLNodeDataTag* root = nullptr;

    // An end tag that closed an element it did not name; the enclosing elements compare it with
    // their names until one matches.
    bool pending = false;
    size_t pendingName = 0;
    size_t pendingNameLength = 0;
    size_t pendingPosition = 0;

    // The text that comments were last merged into, with its length and allocated size, so that
    // a long run of text and comments is joined in linear time.
    char* mergedText = nullptr;
    size_t mergedLength = 0;
    size_t mergedCapacity = 0;

    // A NUL-terminated copy of s[at, at + length).
    char* copy(size_t at, size_t length) const {
        char* c = static_cast<char*>(xmlMalloc(length + 1));
        memcpy(c, s + at, length);
        c[length] = 0;
        return c;
    }
    size_t width(size_t at) const { return xmlCharWidth(s + at, n - at); }
    bool startsWith(size_t at, const char* word, size_t length) const {
        return n - at >= length && memcmp(s + at, word, length) == 0;
    }

    void fail(XMLError error, size_t at) {
        code = error;
        errorPosition = at;
    }
    // The first warning keeps its position; errors stop parsing and always win.
    void warnUnmatched(size_t at) {
        if (code == eXMLErrorNone) {
            code = eXMLWarningUnmatchedEndTag;
            errorPosition = at;
        }
    }

    Token next();
    Outcome parseElement(XMLNodeDataTag* e, int level);
    Outcome parseAttributes(XMLNodeDataTag* e);
    Outcome parseContent(XMLNodeDataTag* e, int level);
    bool addAttribute(XMLNodeDataTag* e, size_t name, size_t length, char* value);
    bool addText(XMLNodeDataTag* e, size_t from, size_t to);
    bool addClear(XMLNodeDataTag* e, const Token& t);
    bool endTagMatches(const char* name, size_t tag, size_t tagLength) const;
    char* decode(size_t from, size_t to);
};

Token Parser::next() {
    while (pos < n && xmlIsBlank(s[pos])) ++pos;
    Token t{TokEnd, pos, 0, -1};
    if (pos >= n) return t;
    for (int i = 0; i < XMLClearTagCount; ++i)
        if (startsWith(pos, XMLClearTags[i].open, XMLClearTags[i].openLength)) {
            t.kind = TokClear;
            t.clear = i;
            t.length = XMLClearTags[i].openLength;
            pos += t.length;
            return t;
        }
    unsigned char c = s[pos];
    bool two = pos + 1 < n;
    if (c == '"' || c == '\'') {
        size_t p = pos + 1;
        while (p < n && s[p] != c && s[p] != '<') p += width(p);
        if (p < n && s[p] == c) {
            t.kind = TokQuoted;
            t.length = p + 1 - pos;
            pos = p + 1;
            return t;
        }
        // Without its closing quote the token is ordinary text starting at the quote.
    } else if (c == '/' && two && s[pos + 1] == '>') {
        t.kind = TokShortClose;
    } else if (c == '<' && two && s[pos + 1] == '/') {
        t.kind = TokEndTagStart;
    } else if (c == '<' && two && s[pos + 1] == '?') {
        t.kind = TokDeclStart;
    } else if (c == '<') {
        t.kind = TokTagStart;
    } else if (c == '=') {
        t.kind = TokEquals;
    } else if (c == '>') {
        t.kind = TokTagClose;
    }
    if (t.kind != TokEnd) {
        t.length = (t.kind == TokTagStart || t.kind == TokEquals || t.kind == TokTagClose) ? 1 : 2;
        pos += t.length;
        return t;
    }
    size_t p = pos;
    do {
        p += width(p);
    } while (p < n && !xmlIsBlank(s[p]) && s[p] != '<' && s[p] != '=' && s[p] != '>' &&
             !(s[p] == '/' && p + 1 < n && s[p + 1] == '>'));
    t.kind = TokText;
    t.length = p - pos;
    pos = p;
    return t;
}

// An end tag names an element when it begins with the element's name, ignoring case, and the
// name is followed by a blank, "/", "<", ">" or "=".
bool Parser::endTagMatches(const char* name, size_t tag, size_t tagLength) const {
    if (!name) return false;
    size_t length = strlen(name);
    if (length > tagLength || tag + length >= n) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char a = s[tag + i], b = static_cast<unsigned char>(name[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + 32);
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + 32);
        if (a != b) return false;
    }
    unsigned char after = s[tag + length];
    return xmlIsBlank(after) || after == '/' || after == '<' || after == '>' || after == '=';
}

// Decodes the entities and numeric character references of s[from, to) into a new string.
// On failure sets error 12 or 13 at the "&" and returns null.
char* Parser::decode(size_t from, size_t to) {
    // Decoding never lengthens the text: the shortest reference, "&#N;", gives at most 2 bytes.
    char* out = static_cast<char*>(xmlMalloc(to - from + 1));
    size_t o = 0;
    size_t p = from;
    bool utf8 = xmlOptions.characterEncoding == XMLNode::char_encoding_UTF8;
    while (p < to) {
        if (s[p] != '&') {
            size_t w = xmlCharWidth(s + p, to - p);
            memcpy(out + o, s + p, w);
            o += w;
            p += w;
            continue;
        }
        bool named = false;
        for (const XMLEntity& e : XMLEntities) {
            if (to - p < e.length) continue;
            size_t i = 0;
            while (i < e.length) {
                unsigned char a = s[p + i];
                if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + 32);
                if (a != static_cast<unsigned char>(e.text[i])) break;
                ++i;
            }
            if (i == e.length) {
                out[o++] = e.character;
                p += e.length;
                named = true;
                break;
            }
        }
        if (named) continue;

        size_t q = p + 1;
        if (q >= to || s[q] != '#') {
            free(out);
            fail(eXMLErrorUnknownCharacterEntity, p);
            return nullptr;
        }
        ++q;
        unsigned base = 10;
        if (q < to && (s[q] == 'x' || s[q] == 'X')) {
            base = 16;
            ++q;
        }
        size_t digits = q;
        unsigned long value = 0;
        for (; q < to; ++q) {
            unsigned char c = s[q];
            unsigned d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else break;
            value = value * base + d;
            if (value > 256) value = 256;  // anything above 255 is refused; no overflow
        }
        // A code of 0 cannot be held in a NUL-terminated string, so it counts as unknown.
        if (q == digits || q >= to || s[q] != ';' || value == 0) {
            free(out);
            fail(eXMLErrorUnknownCharacterEntity, p);
            return nullptr;
        }
        if (value > 255) {
            free(out);
            fail(eXMLErrorCharacterCodeAbove255, p);
            return nullptr;
        }
        if (utf8 && value >= 0x80) {
            // In UTF-8 the character with that code takes two bytes.
            out[o++] = static_cast<char>(0xC0 | value >> 6);
            out[o++] = static_cast<char>(0x80 | (value & 0x3F));
        } else {
            out[o++] = static_cast<char>(value);
        }
        p = q + 1;
    }
    out[o] = 0;
    return out;
}

bool Parser::addAttribute(XMLNodeDataTag* e, size_t name, size_t length, char* value) {
    // In a declaration a trailing "?" belongs to the closing "?>".
    if (e->isDeclaration && !value && length && s[name + length - 1] == '?') --length;
    if (!length) {
        free(value);
        return false;
    }
    xmlAppendAttribute(e, copy(name, length), value, 50);
    return true;
}

// Adds the text collected between two pieces of markup.
bool Parser::addText(XMLNodeDataTag* e, size_t from, size_t to) {
    if (xmlOptions.dropWhiteSpace) {
        while (from < to && xmlIsBlank(s[from])) ++from;
        while (to > from && xmlIsBlank(s[to - 1])) --to;
    }
    if (from >= to) return true;
    char* text = decode(from, to);
    if (!text) return false;
    int count = e->nChild + e->nText + e->nClear;
    if (xmlOptions.removeCommentsInMiddleOfText && count >= 2 &&
        (e->order[count - 1] & 3) == eNodeClear && (e->order[count - 2] & 3) == eNodeText &&
        e->clears[e->order[count - 1] >> 2].openTag == XMLClearTags[XMLClearComment].open) {
        // A comment between two texts goes, and the texts become one.
        xmlRemoveClear(e, e->order[count - 1] >> 2);
        char*& previous = e->texts[e->order[count - 2] >> 2];
        if (previous != mergedText) {
            mergedText = previous;
            mergedLength = mergedCapacity = strlen(previous) + 1;
            --mergedLength;
        }
        size_t b = strlen(text);
        if (mergedLength + b + 1 > mergedCapacity) {
            mergedCapacity = 2 * (mergedLength + b + 1);
            mergedText = static_cast<char*>(xmlRealloc(mergedText, mergedCapacity));
            previous = mergedText;
        }
        memcpy(mergedText + mergedLength, text, b + 1);
        mergedLength += b;
        free(text);
    } else {
        xmlInsertText(e, text, -1, 50);
    }
    return true;
}

// Stores the raw content of a clear item up to its close tag.
bool Parser::addClear(XMLNodeDataTag* e, const Token& t) {
    const XMLClearTag& tag = XMLClearTags[t.clear];
    const char* close = tag.close;
    size_t start = pos;
    if (t.clear == XMLClearDoctype) {
        size_t p = start;
        while (p < n && s[p] != '>' && s[p] != '<') p += width(p);
        if (p >= n) return false;
        if (s[p] == '>') {
            xmlInsertClear(e, copy(start, p - start), tag.open, close, -1, 50);
            pos = p + 1;
            return true;
        }
        close = XMLDoctypeSubsetClose;  // an internal subset runs to "]>"
    }
    size_t closeLength = strlen(close);
    for (size_t p = start; p < n; p += width(p))
        if (startsWith(p, close, closeLength)) {
            xmlInsertClear(e, copy(start, p - start), tag.open, close, -1, 50);
            pos = p + closeLength;
            return true;
        }
    return false;
}

Outcome Parser::parseElement(XMLNodeDataTag* e, int level) {
    Outcome o = parseAttributes(e);
    if (o == Content) o = parseContent(e, level);
    xmlShrinkRecord(e);
    return o;
}

Outcome Parser::parseAttributes(XMLNodeDataTag* e) {
    bool havePending = false;
    size_t name = 0, nameLength = 0;
    for (;;) {
        Token t = next();
        switch (t.kind) {
        case TokText:
            if (havePending) addAttribute(e, name, nameLength, nullptr);
            havePending = true;
            name = t.start;
            nameLength = t.length;
            break;
        case TokEquals: {
            if (!havePending) {
                fail(eXMLErrorUnexpectedToken, t.start);
                return Stop;
            }
            Token v = next();
            size_t from = v.start, to = v.start + v.length;
            if (v.kind == TokQuoted) {
                ++from;
                --to;
            } else if (v.kind == TokText) {
                // An unquoted value of a declaration may run into the closing "?>".
                if (e->isDeclaration && s[to - 1] == '?') --to;
            } else {
                fail(eXMLErrorUnexpectedToken, v.start);
                return Stop;
            }
            char* value = decode(from, to);
            if (!value) return Stop;
            addAttribute(e, name, nameLength, value);
            havePending = false;
            break;
        }
        case TokTagClose:
            if (havePending) addAttribute(e, name, nameLength, nullptr);
            // A declaration at the top level stays open and holds the rest of the document;
            // one nested inside an element is closed at once.
            if (e->isDeclaration && e->parent && e->parent->parent) return Complete;
            return Content;
        case TokShortClose:
            if (havePending) addAttribute(e, name, nameLength, nullptr);
            return Complete;
        case TokEnd:
            if (havePending) addAttribute(e, name, nameLength, nullptr);
            if (!e->isDeclaration) warnUnmatched(t.start);
            return Stop;
        default:
            fail(eXMLErrorUnexpectedToken, t.start);
            return Stop;
        }
    }
}

Outcome Parser::parseContent(XMLNodeDataTag* e, int level) {
    size_t textStart = pos;
    for (;;) {
        Token t = next();
        if (t.kind == TokText || t.kind == TokQuoted || t.kind == TokEquals ||
            t.kind == TokTagClose || t.kind == TokShortClose)
            continue;  // part of the text
        if (!addText(e, textStart, t.start)) return Stop;

        switch (t.kind) {
        case TokTagStart:
        case TokDeclStart: {
            Token nameToken = next();
            size_t length = nameToken.length;
            // "<?name?>": the "?" belongs to the closing "?>".
            if (t.kind == TokDeclStart && nameToken.kind == TokText &&
                s[nameToken.start + length - 1] == '?')
                --length;
            if (nameToken.kind != TokText || length == 0) {
                fail(eXMLErrorMissingStartTagName, nameToken.start);
                return Stop;
            }
            if (level + 1 > XMLNode::maxDepth) {
                fail(eXMLErrorNestingTooDeep, t.start);
                return Stop;
            }
            XMLNodeDataTag* child =
                xmlNewRecord(copy(nameToken.start, length), t.kind == TokDeclStart);
            xmlInsertChild(e, child, -1, 50);
            if (parseElement(child, level + 1) == Stop) return Stop;
            if (pending) {
                // An end tag closes every open element up to the one it names.
                if (e == root) {
                    fail(eXMLErrorUnmatchedEndTag, pendingPosition);
                    return Stop;
                }
                if (endTagMatches(e->name, pendingName, pendingNameLength)) pending = false;
                return Complete;
            }
            break;
        }
        case TokEndTagStart: {
            Token nameToken = next();
            if (nameToken.kind != TokText) {
                fail(eXMLErrorMissingEndTagName, nameToken.start);
                return Stop;
            }
            Token close = next();
            if (close.kind != TokTagClose) {
                fail(eXMLErrorMissingEndTagName, close.start);
                return Stop;
            }
            // Nothing is open that the end tag could close.
            if (e == root) {
                fail(eXMLErrorUnmatchedEndTag, t.start);
                return Stop;
            }
            if (endTagMatches(e->name, nameToken.start, nameToken.length)) return Complete;
            warnUnmatched(t.start);
            pending = true;
            pendingName = nameToken.start;
            pendingNameLength = nameToken.length;
            pendingPosition = t.start;
            return Complete;
        }
        case TokClear:
            if (!addClear(e, t)) {
                fail(eXMLErrorUnmatchedClearTagEnd, t.start);
                return Stop;
            }
            break;
        default:  // TokEnd
            if (!e->isDeclaration && e != root) warnUnmatched(t.start);
            return Stop;
        }
        textStart = pos;
    }
}

// Line and column (from 1) of a byte position, counting characters by their widths.
void lineAndColumn(const char* text, size_t length, size_t at, int* line, int* column) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    int l = 1, c = 1;
    for (size_t p = 0; p < at && p < length;) {
        if (s[p] == '\n') {
            ++l;
            c = 1;
            ++p;
        } else {
            ++c;
            p += xmlCharWidth(s + p, length - p);
        }
    }
    *line = l;
    *column = c;
}

void setResults(XMLResults* results, XMLError error, int line, int column) {
    if (!results) return;
    results->error = error;
    results->line = line;
    results->column = column;
}

}  // namespace

XMLNode XMLNode::parseBuffer(const char* data, size_t length, const char* tag,
                             XMLResults* results) {
    if (!data) {
        setResults(results, eXMLErrorNoElementsFound, 0, 0);
        return XMLNode();
    }
    length = strnlen(data, length);  // a 0 byte ends the input

    XMLNodeDataTag* root = xmlNewRecord(nullptr, 0);
    XMLNode document = XMLNodeAccess::wrap(root);
    Parser parser(data, length);
    parser.parseDocument(root);

    XMLError code = parser.code;
    size_t position = parser.errorPosition;
    if (root->nChild == 0 && code < eXMLErrorNoXMLData) {
        code = eXMLWarningNoXMLTagFound;
        position = length;
    }
    if (root->nChild == 1 && root->nText == 0 && root->nClear == 0 && root->nAttribute == 0)
        document = XMLNodeAccess::wrap(root->children[0]);  // the root goes, the child detaches

    if (code < eXMLErrorNoXMLData && tag && *tag &&
        !xmlEqualsIgnoreCase(tag, document.getName())) {
        document = document.getChildNode(tag);
        if (document.isEmpty()) {
            setResults(results, eXMLErrorFirstTagNotFound, 0, 0);
            return XMLNode();
        }
    }
    if (code >= eXMLErrorNoXMLData) document = XMLNode();

    if (results) {
        int line = 0, column = 0;
        if (code != eXMLErrorNone) lineAndColumn(data, length, position, &line, &column);
        setResults(results, code, line, column);
    }
    return document;
}

XMLNode XMLNode::parseString(const char* text, const char* tag, XMLResults* results) {
    if (!text) {
        setResults(results, eXMLErrorNoElementsFound, 0, 0);
        return XMLNode();
    }
    return parseBuffer(text, strlen(text), tag, results);
}

XMLNode XMLNode::parseFile(const char* filename, const char* tag, XMLResults* results) {
    setResults(results, eXMLErrorNone, 0, 0);
    FILE* f = filename ? fopen(filename, "rb") : nullptr;
    if (!f) {
        setResults(results, eXMLErrorFileNotFound, 0, 0);
        return XMLNode();
    }
    // Read to the end rather than trusting the reported size, which special files lack.
    size_t capacity = 4096, length = 0;
    unsigned char* data = static_cast<unsigned char*>(xmlMalloc(capacity + 4));
    for (;;) {
        if (length == capacity) {
            capacity *= 2;
            data = static_cast<unsigned char*>(xmlRealloc(data, capacity + 4));
        }
        size_t got = fread(data + length, 1, capacity - length, f);
        length += got;
        if (got == 0) break;
    }
    bool readError = ferror(f) != 0;
    fclose(f);
    if (readError) {
        free(data);
        setResults(results, eXMLErrorFileNotFound, 0, 0);
        return XMLNode();
    }
    if (length == 0) {
        free(data);
        setResults(results, eXMLErrorNoXMLData, 0, 0);
        return XMLNode();
    }
    memset(data + length, 0, 4);

    XMLNode document;
    if (xmlOptions.guessWideCharChars && xmlIsWideText(data, length)) {
        char* text = nullptr;
        size_t textLength = 0;
        if (!xmlConvertWideText(data, length, &text, &textLength)) {
            free(data);
            setResults(results, eXMLErrorCharConversion, 0, 0);
            return XMLNode();
        }
        document = parseBuffer(text, textLength, tag, results);
        free(text);
    } else {
        size_t skip = 0;
        if (xmlOptions.guessWideCharChars && length >= 3 && data[0] == 0xEF && data[1] == 0xBB &&
            data[2] == 0xBF)
            skip = 3;
        document = parseBuffer(reinterpret_cast<char*>(data) + skip, length - skip, tag, results);
    }
    free(data);
    return document;
}

int XMLNode::formatParseReport(char* out, size_t size, const char* filename, const char* tag,
                               XMLResults results) {
    bool firstTag = results.error == eXMLErrorFirstTagNotFound;
    return snprintf(out, size, "XML Parsing error inside file '%s'.\n%s\nAt line %i, column %i.\n%s%s%s",
                    filename ? filename : "", getError(results.error), results.line,
                    results.column, firstTag ? "First Tag should be '" : "",
                    firstTag && tag ? tag : "", firstTag ? "'.\n" : "");
}

XMLNode XMLNode::openFileHelper(const char* filename, const char* tag) {
    FILE* f = filename ? fopen(filename, "rb") : nullptr;
    if (f) {
        unsigned char head[200];
        size_t got = fread(head, 1, sizeof head, f);
        fclose(f);
        setGlobalOptions(guessCharEncoding(head, static_cast<int>(got), 1),
                         xmlOptions.guessWideCharChars, xmlOptions.dropWhiteSpace,
                         xmlOptions.removeCommentsInMiddleOfText);
    }
    XMLResults results;
    XMLNode document = parseFile(filename, tag, &results);
    if (results.error != eXMLErrorNone) {
        char message[2000];
        formatParseReport(message, sizeof message, filename, tag, results);
        fputs(message, stdout);
        fflush(stdout);
        exit(255);
    }
    return document;
}
