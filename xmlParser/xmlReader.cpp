// Reading documents: the tokenizer, the forgiving element parser, entity decoding, error
// positions, and the string, file and settings-file entry points.
//
// The parser works on a byte range and checks every look-ahead against its end, so it never
// reads past the input, whether or not the input is NUL-terminated.
#include "xmlInternal.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
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

// What went wrong, by places in the input, so that the report can name it afterwards.
enum ProblemKind {
    ProblemNone,
    ProblemTagMismatch,      // an end tag that does not name the open element
    ProblemPrematureEnd,     // the input ends inside an element
    ProblemUnclosedStartTag, // the input ends inside a start tag
    ProblemStrayEndTag,      // an end tag with no element open
    ProblemStartTagName,
    ProblemEndTagName,
    ProblemEndTagClose,
    ProblemUnclosedClear,
    ProblemAttributeSyntax,
    ProblemAttributeValue,
    ProblemEntity,
    ProblemCharCode,
    ProblemTooDeep
};

struct Problem {
    ProblemKind kind = ProblemNone;
    size_t openName = 0, openNameLength = 0, openTag = 0;  // the open element, its start tag
    size_t other = 0, otherLength = 0;  // the end tag's name, the reference; the clear tag index
};

// A stack of items while elements are parsed; an element's items are copied into the arena,
// at their exact number, when it is complete.
template <class T>
struct Stack {
    T* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
    ~Stack() { free(data); }
    void push(const T& value) {
        if (size == capacity) {
            capacity = capacity ? capacity * 2 : 64;
            data = static_cast<T*>(xmlRealloc(data, capacity * sizeof(T)));
        }
        data[size++] = value;
    }
};

// An element being parsed: where its items begin on the stacks, and its start tag.
struct Open {
    XMLNodeDataTag* e;
    size_t children, texts, clears, attributes, order;
    size_t tag, name, nameLength;
};

inline bool blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

class Parser {
public:
    Parser(const char* text, size_t length, XMLArena* arena)
        : s(reinterpret_cast<const unsigned char*>(text)), n(length), arena(arena) {}

    // Parses the whole input as the content of the unnamed root.
    void parseDocument(XMLNodeDataTag* documentRoot) {
        root = documentRoot;
        Open o = open(root, 0, 0, 0);
        parseContent(o, 0);
        finish(o);
    }

    // A record in the arena with a copy of s[at, at + length) as its name (null when
    // `length` is 0 and `at` is 0: the root). Its one reference is its parent's.
    XMLNodeDataTag* newRecord(size_t at, size_t length, bool named, char isDeclaration,
                              XMLNodeDataTag* parent) {
        auto* r = static_cast<XMLNodeDataTag*>(
            xmlArenaAlloc(arena, sizeof(XMLNodeDataTag), alignof(XMLNodeDataTag)));
        memset(r, 0, sizeof(XMLNodeDataTag));
        r->name = named ? copy(at, length) : nullptr;
        r->isDeclaration = isDeclaration;
        r->parent = parent;
        r->refCount = parent ? 1 : 0;
        r->arena = arena;
        arena->refCount.fetch_add(1, std::memory_order_relaxed);
        r->arenaParts = ArenaRecord | ArenaStrings;
        return r;
    }

    XMLError code = eXMLErrorNone;
    size_t errorPosition = 0;
    Problem problem;

private:
    const unsigned char* s;
    size_t n;
    XMLArena* arena;
    size_t pos = 0;
    XMLNodeDataTag* root = nullptr;

    Stack<XMLNodeDataTag*> children;
    Stack<char*> texts;
    Stack<XMLClear> clears;
    Stack<XMLAttribute> attributes;
    Stack<int> order;

    // An end tag that closed an element it did not name; the enclosing elements compare it with
    // their names until one matches.
    bool pending = false;
    size_t pendingName = 0;
    size_t pendingNameLength = 0;
    size_t pendingPosition = 0;
    Problem pendingProblem;

    // The text that comments were last merged into, with its length and allocated size, so that
    // a long run of text and comments is joined in linear time.
    char* mergedText = nullptr;
    size_t mergedLength = 0;
    size_t mergedCapacity = 0;

    Open open(XMLNodeDataTag* e, size_t tag, size_t name, size_t nameLength) const {
        return Open{e,   children.size, texts.size, clears.size, attributes.size, order.size,
                    tag, name,          nameLength};
    }

    template <class T>
    T* settle(Stack<T>& stack, size_t base, int* count, int* capacity, unsigned char bit,
              XMLNodeDataTag* e) {
        size_t k = stack.size - base;
        *count = *capacity = static_cast<int>(k);
        stack.size = base;
        if (!k) return nullptr;
        T* a = static_cast<T*>(xmlArenaAlloc(arena, k * sizeof(T), alignof(T)));
        memcpy(a, stack.data + base, k * sizeof(T));
        e->arenaParts |= bit;
        return a;
    }

    // Gives a complete element its items, in arrays of their exact sizes.
    void finish(Open& o) {
        XMLNodeDataTag* e = o.e;
        int orderCount = 0, orderCapacity = 0;
        e->order = settle(order, o.order, &orderCount, &orderCapacity, ArenaOrder, e);
        e->capOrder = orderCapacity;
        e->children = settle(children, o.children, &e->nChild, &e->capChild, ArenaChildren, e);
        e->texts = settle(texts, o.texts, &e->nText, &e->capText, ArenaTexts, e);
        e->clears = settle(clears, o.clears, &e->nClear, &e->capClear, ArenaClears, e);
        e->attributes =
            settle(attributes, o.attributes, &e->nAttribute, &e->capAttribute, ArenaAttributes, e);
    }

    // A NUL-terminated copy of s[at, at + length) in the arena.
    char* copy(size_t at, size_t length) {
        char* c = static_cast<char*>(xmlArenaAlloc(arena, length + 1, 1));
        memcpy(c, s + at, length);
        c[length] = 0;
        return c;
    }
    size_t width(size_t at) const { return s[at] < 0x80 ? 1 : xmlCharWidth(s + at, n - at); }
    bool startsWith(size_t at, const char* word, size_t length) const {
        return n - at >= length && memcmp(s + at, word, length) == 0;
    }

    void fail(XMLError error, size_t at, const Problem& p) {
        code = error;
        errorPosition = at;
        problem = p;
    }
    // The first warning keeps its position; errors stop parsing and always win.
    void warnUnmatched(size_t at, const Problem& p) {
        if (code == eXMLErrorNone) {
            code = eXMLWarningUnmatchedEndTag;
            errorPosition = at;
            problem = p;
        }
    }
    static Problem about(ProblemKind kind, const Open& o, size_t other = 0,
                         size_t otherLength = 0) {
        Problem p;
        p.kind = kind;
        p.openName = o.name;
        p.openNameLength = o.nameLength;
        p.openTag = o.tag;
        p.other = other;
        p.otherLength = otherLength;
        return p;
    }

    Token next();
    Outcome parseElement(Open& o, int level);
    Outcome parseAttributes(Open& o);
    Outcome parseContent(Open& o, int level);
    bool addAttribute(Open& o, size_t name, size_t length, char* value);
    bool addText(Open& o, size_t from, size_t to);
    bool addClear(Open& o, const Token& t);
    bool endTagMatches(const char* name, size_t tag, size_t tagLength) const;
    char* decode(size_t from, size_t to);
    size_t referenceLength(size_t at, size_t to) const;
};

Token Parser::next() {
    while (pos < n && blank(s[pos])) ++pos;
    Token t{TokEnd, pos, 0, -1};
    if (pos >= n) return t;
    unsigned char c = s[pos];
    bool two = pos + 1 < n;
    if (c == '<') {
        for (int i = 0; i < XMLClearTagCount; ++i)
            if (startsWith(pos, XMLClearTags[i].open, XMLClearTags[i].openLength)) {
                t.kind = TokClear;
                t.clear = i;
                t.length = XMLClearTags[i].openLength;
                pos += t.length;
                return t;
            }
        t.kind = !two ? TokTagStart
                 : s[pos + 1] == '/' ? TokEndTagStart
                 : s[pos + 1] == '?' ? TokDeclStart
                                     : TokTagStart;
    } else if (c == '"' || c == '\'') {
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
    } while (p < n && !blank(s[p]) && s[p] != '<' && s[p] != '=' && s[p] != '>' &&
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
    return blank(after) || after == '/' || after == '<' || after == '>' || after == '=';
}

// Length of the reference at `at` as the report quotes it: up to its ";", or to a blank.
size_t Parser::referenceLength(size_t at, size_t to) const {
    size_t p = at + 1;
    while (p < to && p - at < 32 && s[p] != ';' && !blank(s[p]) && s[p] != '&') ++p;
    if (p < to && s[p] == ';') ++p;
    return p - at;
}

// Decodes the entities and numeric character references of s[from, to) into a new string in
// the arena. On failure sets error 12 or 13 at the "&" and returns null. Markup characters are
// never trailing bytes of a character (see xmlCharWidth), so the runs between references are
// copied as they are.
char* Parser::decode(size_t from, size_t to) {
    // Decoding never lengthens the text: the shortest reference, "&#N;", gives at most 2 bytes.
    size_t capacity = to - from + 1;
    char* out = static_cast<char*>(xmlArenaAlloc(arena, capacity, 1));
    size_t o = 0;
    size_t p = from;
    bool utf8 = xmlOptions.characterEncoding == XMLNode::char_encoding_UTF8;
    while (p < to) {
        const void* amp = memchr(s + p, '&', to - p);
        size_t run = amp ? static_cast<size_t>(static_cast<const unsigned char*>(amp) - (s + p))
                         : to - p;
        memcpy(out + o, s + p, run);
        o += run;
        p += run;
        if (p >= to) break;

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

        Problem bad;
        bad.kind = ProblemEntity;
        bad.other = p;
        bad.otherLength = referenceLength(p, to);
        size_t q = p + 1;
        if (q >= to || s[q] != '#') {
            fail(eXMLErrorUnknownCharacterEntity, p, bad);
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
            fail(eXMLErrorUnknownCharacterEntity, p, bad);
            return nullptr;
        }
        if (value > 255) {
            bad.kind = ProblemCharCode;
            fail(eXMLErrorCharacterCodeAbove255, p, bad);
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
    xmlArenaShrinkLast(arena, out, capacity, o + 1);
    return out;
}

bool Parser::addAttribute(Open& o, size_t name, size_t length, char* value) {
    // In a declaration a trailing "?" belongs to the closing "?>".
    if (o.e->isDeclaration && !value && length && s[name + length - 1] == '?') --length;
    if (!length) return false;  // the value, if any, stays unused in the arena
    attributes.push(XMLAttribute{copy(name, length), value});
    return true;
}

// Adds the text collected between two pieces of markup.
bool Parser::addText(Open& o, size_t from, size_t to) {
    if (xmlOptions.dropWhiteSpace) {
        while (from < to && blank(s[from])) ++from;
        while (to > from && blank(s[to - 1])) --to;
    }
    if (from >= to) return true;
    char* text = decode(from, to);
    if (!text) return false;
    size_t count = order.size - o.order;
    if (xmlOptions.removeCommentsInMiddleOfText && count >= 2) {
        int last = order.data[order.size - 1], previousEntry = order.data[order.size - 2];
        if ((last & 3) == eNodeClear && (previousEntry & 3) == eNodeText &&
            clears.data[o.clears + (last >> 2)].openTag == XMLClearTags[XMLClearComment].open) {
            // A comment between two texts goes, and the texts become one. The comment was the
            // element's latest clear item; its value and the new text stay unused in the arena.
            --clears.size;
            --order.size;
            char*& previous = texts.data[o.texts + (previousEntry >> 2)];
            if (previous != mergedText) {
                // The joined text grows on the heap; the record no longer has only arena strings.
                size_t a = strlen(previous);
                mergedCapacity = 2 * (a + 1);
                mergedText = static_cast<char*>(xmlMalloc(mergedCapacity));
                memcpy(mergedText, previous, a + 1);
                mergedLength = a;
                previous = mergedText;
                o.e->arenaParts = static_cast<unsigned char>(o.e->arenaParts & ~ArenaStrings);
            }
            size_t b = strlen(text);
            if (mergedLength + b + 1 > mergedCapacity) {
                mergedCapacity = 2 * (mergedLength + b + 1);
                mergedText = static_cast<char*>(xmlRealloc(mergedText, mergedCapacity));
                previous = mergedText;
            }
            memcpy(mergedText + mergedLength, text, b + 1);
            mergedLength += b;
            return true;
        }
    }
    order.push(static_cast<int>(texts.size - o.texts) * 4 + eNodeText);
    texts.push(text);
    return true;
}

// Stores the raw content of a clear item up to its close tag.
bool Parser::addClear(Open& o, const Token& t) {
    const XMLClearTag& tag = XMLClearTags[t.clear];
    const char* close = tag.close;
    size_t start = pos;
    size_t end = n;
    size_t closeLength = 0;
    if (t.clear == XMLClearDoctype) {
        size_t p = start;
        while (p < n && s[p] != '>' && s[p] != '<') p += width(p);
        if (p >= n) return false;
        if (s[p] == '>') {
            end = p;
            closeLength = 1;
        } else {
            close = XMLDoctypeSubsetClose;  // an internal subset runs to "]>"
        }
    }
    if (end == n) {
        closeLength = strlen(close);
        for (size_t p = start; p < n; p += width(p))
            if (startsWith(p, close, closeLength)) {
                end = p;
                break;
            }
        if (end == n) return false;
    }
    order.push(static_cast<int>(clears.size - o.clears) * 4 + eNodeClear);
    clears.push(XMLClear{copy(start, end - start), tag.open, close});
    pos = end + closeLength;
    return true;
}

Outcome Parser::parseElement(Open& o, int level) {
    Outcome r = parseAttributes(o);
    if (r == Content) r = parseContent(o, level);
    finish(o);
    return r;
}

Outcome Parser::parseAttributes(Open& o) {
    XMLNodeDataTag* e = o.e;
    bool havePending = false;
    size_t name = 0, nameLength = 0;
    for (;;) {
        Token t = next();
        switch (t.kind) {
        case TokText:
            if (havePending) addAttribute(o, name, nameLength, nullptr);
            havePending = true;
            name = t.start;
            nameLength = t.length;
            break;
        case TokEquals: {
            if (!havePending) {
                fail(eXMLErrorUnexpectedToken, t.start, about(ProblemAttributeSyntax, o));
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
                fail(eXMLErrorUnexpectedToken, v.start,
                     about(ProblemAttributeValue, o, name, nameLength));
                return Stop;
            }
            char* value = decode(from, to);
            if (!value) return Stop;
            addAttribute(o, name, nameLength, value);
            havePending = false;
            break;
        }
        case TokTagClose:
            if (havePending) addAttribute(o, name, nameLength, nullptr);
            // A declaration at the top level stays open and holds the rest of the document;
            // one nested inside an element is closed at once.
            if (e->isDeclaration && e->parent && e->parent->parent) return Complete;
            return Content;
        case TokShortClose:
            if (havePending) addAttribute(o, name, nameLength, nullptr);
            return Complete;
        case TokEnd:
            if (havePending) addAttribute(o, name, nameLength, nullptr);
            if (!e->isDeclaration) warnUnmatched(t.start, about(ProblemUnclosedStartTag, o));
            return Stop;
        default:
            fail(eXMLErrorUnexpectedToken, t.start, about(ProblemAttributeSyntax, o));
            return Stop;
        }
    }
}

Outcome Parser::parseContent(Open& o, int level) {
    XMLNodeDataTag* e = o.e;
    size_t textStart = pos;
    for (;;) {
        // Everything up to the next "<" is text: no other token swallows a "<", and a "<" is
        // never a trailing byte of a character.
        const void* lt = memchr(s + pos, '<', n - pos);
        pos = lt ? static_cast<size_t>(static_cast<const unsigned char*>(lt) - s) : n;
        Token t = next();
        if (!addText(o, textStart, t.start)) return Stop;

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
                fail(eXMLErrorMissingStartTagName, nameToken.start,
                     about(ProblemStartTagName, o));
                return Stop;
            }
            // The declaration at the top of the document encloses the rest without being a
            // level of its own, just as when building.
            bool declaration = t.kind == TokDeclStart;
            int childLevel = e == root && declaration ? level : level + 1;
            if (childLevel > XMLNode::maxDepth) {
                fail(eXMLErrorNestingTooDeep, t.start, about(ProblemTooDeep, o));
                return Stop;
            }
            XMLNodeDataTag* child = newRecord(nameToken.start, length, true, declaration, e);
            order.push(static_cast<int>(children.size - o.children) * 4 + eNodeChild);
            children.push(child);
            Open co = open(child, t.start, nameToken.start, length);
            if (parseElement(co, childLevel) == Stop) return Stop;
            if (pending) {
                // An end tag closes every open element up to the one it names.
                if (e == root) {
                    fail(eXMLErrorUnmatchedEndTag, pendingPosition, pendingProblem);
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
                fail(eXMLErrorMissingEndTagName, nameToken.start, about(ProblemEndTagName, o));
                return Stop;
            }
            Token close = next();
            if (close.kind != TokTagClose) {
                fail(eXMLErrorMissingEndTagName, close.start,
                     about(ProblemEndTagClose, o, nameToken.start, nameToken.length));
                return Stop;
            }
            // Nothing is open that the end tag could close.
            if (e == root) {
                fail(eXMLErrorUnmatchedEndTag, t.start,
                     about(ProblemStrayEndTag, o, nameToken.start, nameToken.length));
                return Stop;
            }
            if (endTagMatches(e->name, nameToken.start, nameToken.length)) return Complete;
            pendingProblem = about(ProblemTagMismatch, o, nameToken.start, nameToken.length);
            warnUnmatched(t.start, pendingProblem);
            pending = true;
            pendingName = nameToken.start;
            pendingNameLength = nameToken.length;
            pendingPosition = t.start;
            return Complete;
        }
        case TokClear:
            if (!addClear(o, t)) {
                Problem p = about(ProblemUnclosedClear, o, static_cast<size_t>(t.clear));
                fail(eXMLErrorUnmatchedClearTagEnd, t.start, p);
                return Stop;
            }
            break;
        default:  // TokEnd
            if (!e->isDeclaration && e != root)
                warnUnmatched(t.start, about(ProblemPrematureEnd, o));
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

// What the latest parse of this thread found wrong, in words, for formatParseReport; it
// belongs to the outcome stored beside it.
struct ParseReport {
    XMLError error;
    int line;
    int column;
    char what[400];
};
thread_local ParseReport lastReport = {eXMLErrorNone, 0, 0, {0}};

void setReport(XMLError error, int line, int column, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void setReport(XMLError error, int line, int column, const char* format, ...) {
    lastReport.error = error;
    lastReport.line = line;
    lastReport.column = column;
    va_list args;
    va_start(args, format);
    vsnprintf(lastReport.what, sizeof lastReport.what, format, args);
    va_end(args);
}

// Words for the problem a parse of `text` met, in the terms xmllint uses.
void describe(const char* text, size_t length, XMLError code, const Problem& p, size_t position,
              int line, int column) {
    auto lineOf = [&](size_t at) {
        int l = 0, c = 0;
        lineAndColumn(text, length, at, &l, &c);
        return l;
    };
    // Quoted parts of the input are cut short, so that the report stays one readable line.
    auto cut = [](size_t n) { return static_cast<int>(n < 80 ? n : 80); };
    const char* open = text + p.openName;
    int openLength = cut(p.openNameLength);
    const char* other = text + p.other;
    int otherLength = cut(p.otherLength);
    switch (p.kind) {
    case ProblemTagMismatch:
        setReport(code, line, column, "Opening and ending tag mismatch: %.*s line %d and %.*s",
                  openLength, open, lineOf(p.openTag), otherLength, other);
        return;
    case ProblemPrematureEnd:
        setReport(code, line, column, "Premature end of data in tag %.*s line %d", openLength,
                  open, lineOf(p.openTag));
        return;
    case ProblemUnclosedStartTag:
        setReport(code, line, column, "Couldn't find end of Start Tag %.*s line %d", openLength,
                  open, lineOf(p.openTag));
        return;
    case ProblemStrayEndTag:
        setReport(code, line, column, "Unexpected end tag : %.*s", otherLength, other);
        return;
    case ProblemStartTagName:
        setReport(code, line, column, "StartTag: invalid element name");
        return;
    case ProblemEndTagName:
        setReport(code, line, column, "EndTag: invalid element name");
        return;
    case ProblemEndTagClose:
        setReport(code, line, column, "expected '>' after the end tag name %.*s", otherLength,
                  other);
        return;
    case ProblemUnclosedClear: {
        static const char* const what[XMLClearTagCount] = {
            "CData section not finished", "DOCTYPE improperly terminated",
            "Comment not terminated", "PRE section not finished"};
        setReport(code, line, column, "%s", what[p.other < XMLClearTagCount ? p.other : 0]);
        return;
    }
    case ProblemAttributeSyntax:
        setReport(code, line, column, "attributes construct error in Start Tag %.*s line %d",
                  openLength, open, lineOf(p.openTag));
        return;
    case ProblemAttributeValue:
        setReport(code, line, column, "AttValue: \" or ' expected for attribute %.*s",
                  otherLength, other);
        return;
    case ProblemEntity: {
        // "&name;" names an entity that does not exist; anything else is not a reference.
        size_t k = 1;
        while (k < p.otherLength && other[k] != ';' &&
               (isalnum(static_cast<unsigned char>(other[k])) || other[k] == '_' ||
                other[k] == '-' || other[k] == '.' || other[k] == ':'))
            ++k;
        if (k > 1 && k + 1 == p.otherLength && other[k] == ';' && other[1] != '#')
            setReport(code, line, column, "Entity '%.*s' not defined", static_cast<int>(k - 1),
                      other + 1);
        else if (p.otherLength > 1 && other[1] == '#')
            setReport(code, line, column, "invalid character reference '%.*s'", otherLength,
                      other);
        else if (k > 1)
            setReport(code, line, column, "EntityRef: expecting ';' after '%.*s'", otherLength,
                      other);
        else
            setReport(code, line, column, "xmlParseEntityRef: no name after '&'");
        return;
    }
    case ProblemCharCode:
        setReport(code, line, column,
                  "character reference '%.*s' is above 255, which 8-bit text cannot hold",
                  otherLength, other);
        return;
    case ProblemTooDeep:
        setReport(code, line, column, "Excessive depth in document: more than %d nested elements",
                  XMLNode::maxDepth);
        return;
    case ProblemNone:
        break;
    }
    (void)position;
    setReport(code, line, column, "%s", "");
}

}  // namespace

XMLNode XMLNode::parseBuffer(const char* data, size_t length, const char* tag,
                             XMLResults* results) {
    if (!data) {
        setResults(results, eXMLErrorNoElementsFound, 0, 0);
        setReport(eXMLErrorNoElementsFound, 0, 0, "No XML text given");
        return XMLNode();
    }
    length = strnlen(data, length);  // a 0 byte ends the input

    // The parse's records, names, texts and arrays come from one arena, which goes when the
    // last record of the document does.
    XMLArena* arena = xmlArenaNew(length);
    Parser parser(data, length, arena);
    XMLNodeDataTag* root = parser.newRecord(0, 0, false, 0, nullptr);
    XMLNode document = XMLNodeAccess::wrap(root);
    parser.parseDocument(root);

    XMLError code = parser.code;
    size_t position = parser.errorPosition;
    // An input with an error and no element keeps the error: it says what is wrong, where
    // "no XML tag found", a warning, would hand the caller a document of damaged text.
    bool noElement = root->nChild == 0 && code < eXMLErrorNoXMLData;
    if (noElement) {
        code = eXMLWarningNoXMLTagFound;
        position = length;
    }
    if (root->nChild == 1 && root->nText == 0 && root->nClear == 0 && root->nAttribute == 0)
        document = XMLNodeAccess::wrap(root->children[0]);  // the root goes, the child detaches

    int line = 0, column = 0;
    if (code != eXMLErrorNone) lineAndColumn(data, length, position, &line, &column);
    if (noElement) {
        size_t k = 0;
        while (k < length && blank(static_cast<unsigned char>(data[k]))) ++k;
        setReport(code, line, column, "%s",
                  k == length ? "Document is empty" : "Start tag expected, '<' not found");
    } else {
        describe(data, length, code, parser.problem, position, line, column);
    }

    if (code < eXMLErrorNoXMLData && tag && *tag &&
        !xmlEqualsIgnoreCase(tag, document.getName())) {
        document = document.getChildNode(tag);
        if (document.isEmpty()) {
            setResults(results, eXMLErrorFirstTagNotFound, 0, 0);
            setReport(eXMLErrorFirstTagNotFound, 0, 0, "First Tag should be '%.200s'", tag);
            xmlArenaRelease(arena);
            return XMLNode();
        }
    }
    if (code >= eXMLErrorNoXMLData) document = XMLNode();
    xmlArenaRelease(arena);  // the parser's reference; the records hold theirs

    setResults(results, code, line, column);
    return document;
}

XMLNode XMLNode::parseString(const char* text, const char* tag, XMLResults* results) {
    if (!text) {
        setResults(results, eXMLErrorNoElementsFound, 0, 0);
        setReport(eXMLErrorNoElementsFound, 0, 0, "No XML text given");
        return XMLNode();
    }
    return parseBuffer(text, strlen(text), tag, results);
}

XMLNode XMLNode::parseFile(const char* filename, const char* tag, XMLResults* results) {
    setResults(results, eXMLErrorNone, 0, 0);
    FILE* f = filename ? fopen(filename, "rb") : nullptr;
    if (!f) {
        setResults(results, eXMLErrorFileNotFound, 0, 0);
        setReport(eXMLErrorFileNotFound, 0, 0, "cannot open the file: %s",
                  filename ? strerror(errno) : "no file name given");
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
    int readErrno = ferror(f) ? errno : 0;
    bool readError = ferror(f) != 0;
    fclose(f);
    if (readError) {
        free(data);
        setResults(results, eXMLErrorFileNotFound, 0, 0);
        setReport(eXMLErrorFileNotFound, 0, 0, "cannot read the file: %s", strerror(readErrno));
        return XMLNode();
    }
    if (length == 0) {
        free(data);
        setResults(results, eXMLErrorNoXMLData, 0, 0);
        setReport(eXMLErrorNoXMLData, 0, 0, "Document is empty");
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
            setReport(eXMLErrorCharConversion, 0, 0,
                      "Input looks like wide-character text but cannot be converted to 8-bit "
                      "text");
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
    const char* file = filename ? filename : "";
    char what[sizeof lastReport.what];
    if (lastReport.error == results.error && lastReport.line == results.line &&
        lastReport.column == results.column && lastReport.what[0]) {
        memcpy(what, lastReport.what, sizeof what);
    } else if (results.error == eXMLErrorFirstTagNotFound) {
        snprintf(what, sizeof what, "First Tag should be '%.200s'", tag ? tag : "");
    } else {
        // Not the latest parse: the text of the code, without its "Error: " or "Warning: ".
        const char* text = getError(results.error);
        const char* colon = strstr(text, ": ");
        snprintf(what, sizeof what, "%s", colon && colon - text < 8 ? colon + 2 : text);
    }
    if (results.line > 0)
        return snprintf(out, size, "%s:%d: parser error : %s\n", file, results.line, what);
    return snprintf(out, size, "%s: parser error : %s\n", file, what);
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
        bool firstTag = results.error == eXMLErrorFirstTagNotFound;
        snprintf(message, sizeof message,
                 "XML Parsing error inside file '%s'.\n%s\nAt line %i, column %i.\n%s%s%s",
                 filename ? filename : "", getError(results.error), results.line,
                 results.column, firstTag ? "First Tag should be '" : "",
                 firstTag && tag ? tag : "", firstTag ? "'.\n" : "");
        fputs(message, stdout);
        fflush(stdout);
        exit(255);
    }
    return document;
}
