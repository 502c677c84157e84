// xmlParser: a small XML document library built into libTavroCore.
//
// A document lives in memory as a tree of reference-counted node records. `XMLNode` is a handle
// to one record (or to none: the empty node). Copying a handle shares the record; a record goes
// when the last handle to it and its parent are gone, and its children are released with it.
// A record the building operations made is freed then, with its strings and arrays. A parsed
// record is not: the records, strings and arrays of one parse share a few large blocks, which go
// only when the last record of that document goes, so one handle kept to a leaf keeps the
// memory of its whole document (several times the size of the text parsed). To keep a small part
// of a large document, keep `deepCopy()` of it, which holds none of the document's memory, and
// let the document go. Distinct records may be released on different threads; one record, and
// a tree that is still connected, belongs to one thread at a time.
//
// Every lookup that finds nothing gives the empty node or a null pointer, and every query on the
// empty node gives 0 or a null pointer, so chained lookups on missing parts are safe.
//
// Problems are reported by `XMLError` codes, never by exceptions. Strings are 8-bit, in the
// character encoding currently selected by `XMLNode::setGlobalOptions`.
//
// Nesting is bounded: no tree holds more than `XMLNode::maxDepth` levels of elements. The parser
// refuses deeper input with eXMLErrorNestingTooDeep and the building operations refuse to grow a
// tree beyond the bound (XMLNode::takeBuildError tells), so no operation on a tree can exhaust
// the stack. A declaration at the top of a document (like the XML declaration, which encloses
// the rest) and the unnamed root of a document with several top items are not levels, so every
// tree that can be built reads back after writeToFile.
#ifndef TAVRO_XMLPARSER_H
#define TAVRO_XMLPARSER_H

#include <cstddef>

// Error codes. Codes 1, 2, 17 and 19 are warnings, 0 is success, all others are errors.
// XMLNode::getError gives the text of each code.
enum XMLError {
    eXMLErrorNone = 0,
    eXMLWarningUnmatchedEndTag = 1,
    eXMLWarningNoXMLTagFound = 2,
    eXMLErrorNoXMLData = 3,
    eXMLErrorMissingStartTagName = 4,
    eXMLErrorMissingEndTagName = 5,
    eXMLErrorUnmatchedEndTag = 6,
    eXMLErrorUnmatchedClearTagEnd = 7,
    eXMLErrorUnexpectedToken = 8,
    eXMLErrorNoElementsFound = 9,
    eXMLErrorFileNotFound = 10,
    eXMLErrorFirstTagNotFound = 11,
    eXMLErrorUnknownCharacterEntity = 12,
    eXMLErrorCharacterCodeAbove255 = 13,
    eXMLErrorCharConversion = 14,
    eXMLErrorCannotOpenFileForWriting = 15,
    eXMLErrorCannotWriteIntoFile = 16,
    eXMLWarningBase64LengthNotMultipleOf4 = 17,
    eXMLErrorBase64IllegalCharacter = 18,
    eXMLWarningBase64Truncated = 19,
    eXMLErrorBase64OutputBufferTooSmall = 20,
    eXMLErrorNestingTooDeep = 21
};

// Kind of a content item; the order array of a node stores index * 4 + kind.
enum XMLElementType {
    eNodeChild = 0,
    eNodeAttribute = 1,
    eNodeText = 2,
    eNodeClear = 3,
    eNodeNULL = 4
};

// Outcome of a parse: the code and, when the problem has a place in the text, the line and
// column (both from 1) where it was met; otherwise (and for code 0) line and column are 0.
struct XMLResults {
    XMLError error;
    int line;
    int column;
};

// An attribute; `value` is null for an attribute written without a value.
struct XMLAttribute {
    const char* name;
    const char* value;
};

// A clear item: raw content kept verbatim between an open and a close tag. The tags point to the
// library's static tag strings ("<![CDATA[" / "]]>", "<!DOCTYPE" / ">" or "]>", "<!--" / "-->",
// "<PRE>" / "</PRE>").
struct XMLClear {
    const char* value;
    const char* openTag;
    const char* closeTag;
};

struct XMLNodeDataTag;
struct XMLNodeContents;
struct XMLNodeAccess;

class XMLNode {
public:
    // Character encodings and the global width tables that go with them.
    enum XMLCharEncoding {
        char_encoding_error = 0,  // unknown (a guess that failed)
        char_encoding_UTF8 = 1,
        char_encoding_legacy = 2,  // single-byte: ISO-8859 family, ASCII
        char_encoding_ShiftJIS = 3,
        char_encoding_GB2312 = 4,
        char_encoding_Big5 = 5,
        char_encoding_GBK = 6
    };

    // Deepest nesting of elements a tree may have.
    static constexpr int maxDepth = 1000;

    // The empty handle; lookups that find nothing return a copy of it.
    static XMLNode emptyXMLNode;

    constexpr XMLNode() noexcept : d(nullptr) {}
    XMLNode(const XMLNode& other) noexcept;
    XMLNode(XMLNode&& other) noexcept;
    XMLNode& operator=(const XMLNode& other) noexcept;
    XMLNode& operator=(XMLNode&& other) noexcept;
    ~XMLNode();

    // ---- Library-wide ------------------------------------------------------------------------

    // Sets the process-wide options. Returns 0, or 1 and changes nothing when `encoding` is not
    // one of 1..6.
    static char setGlobalOptions(XMLCharEncoding encoding = char_encoding_UTF8,
                                 char guessWideCharChars = 1, char dropWhiteSpace = 1,
                                 char removeCommentsInMiddleOfText = 1);
    // Text of an error code ("Unknown" for codes outside the table); never null.
    static const char* getError(XMLError error);
    // "v2.39".
    static const char* getVersion();
    // Guesses the encoding of `length` bytes of XML; 0 when it cannot tell (fewer than 25 bytes,
    // or wide-character text). With `useXMLEncodingAttribute` set, an encoding="..." attribute in
    // the first 200 bytes decides. A null buffer gives 0.
    static XMLCharEncoding guessCharEncoding(const void* buffer, int length,
                                             char useXMLEncodingAttribute = 1);

    // ---- Parsing -----------------------------------------------------------------------------

    // Parses a NUL-terminated string. Returns the document, or the empty node on an error (code 3
    // or more); warnings (1, 2) still give a document. `results` may be null. When `tag` is
    // non-empty and does not name the document, the document's first child of that name is
    // returned instead (error 11 when there is none). A null `text` gives error 9; elements
    // nested deeper than maxDepth give error 21.
    static XMLNode parseString(const char* text, const char* tag = nullptr,
                               XMLResults* results = nullptr);
    // As parseString, over at most `length` bytes of `data`; never reads beyond them. A 0 byte
    // inside the range ends the input.
    static XMLNode parseBuffer(const char* data, size_t length, const char* tag = nullptr,
                               XMLResults* results = nullptr);
    // Reads a whole file and parses it: error 10 when it cannot be opened or read, 3 when it is
    // empty, 14 when wide-character text cannot be converted; otherwise as parseString. A
    // byte-order mark is skipped and wide-character files are converted when the global option
    // guessWideCharChars is set.
    static XMLNode parseFile(const char* filename, const char* tag = nullptr,
                             XMLResults* results = nullptr);
    // Guesses the file's encoding and makes it the global one (an unknown guess leaves it), then
    // parses the file. On any non-zero code, warnings included, prints a report to standard
    // output and ends the process with exit status 255.
    static XMLNode openFileHelper(const char* filename, const char* tag = nullptr);
    // Writes a one-line report of a parse of `filename` that ended with `results` into `out`
    // (at most `size` bytes, NUL-terminated, ending with a line feed), in the form xmllint
    // uses: "FILE:LINE: parser error : WHAT", for example
    //   Tavro.xml:29: parser error : Opening and ending tag mismatch: D0 line 4 and Settings
    // (the line is left out for problems without a place, such as a missing file). WHAT names
    // the cause, the open element and the line of its start tag included, when `results` is
    // the outcome of the latest parse of this thread; otherwise it is the text of the code.
    // Returns what snprintf does.
    static int formatParseReport(char* out, size_t size, const char* filename, const char* tag,
                                 XMLResults results);

    // ---- Writing -----------------------------------------------------------------------------

    // The node and everything below it as XML text, NUL-terminated, in newly allocated memory the
    // caller releases with freeXMLString. Indented with tabs, one element per line, when `format`
    // is non-zero and the global option dropWhiteSpace is set; otherwise on one line. Stores the
    // length (without the NUL) through `size` when it is not null. The empty node gives null and
    // size 0.
    char* createXMLString(int format = 1, int* size = nullptr) const;
    // Writes the node to a file, preceded by a byte-order mark in UTF-8 mode and by an XML
    // declaration naming `encoding` (null: "ISO-8859-1") unless the document starts with its own
    // declaration node. An existing file is replaced as a whole: the new content goes to a
    // temporary file in the same directory that is renamed over the old one, so the old file
    // stays intact on failure. Returns 0 (also for the empty node, which writes nothing), 15 when
    // the file cannot be opened for writing, 16 when a write or the final close fails.
    XMLError writeToFile(const char* filename, const char* encoding = nullptr,
                         char format = 1) const;

    // ---- Navigation (none of these changes the tree) -----------------------------------------

    const char* getName() const;  // null for the unnamed document root and the empty node
    char isEmpty() const;
    char isDeclaration() const;
    XMLNode getParentNode() const;  // empty for a root

    int nChildNode() const;
    int nChildNode(const char* name) const;  // children with that name, ignoring case
    int nText() const;
    int nClear() const;
    int nAttribute() const;
    int nElement() const;  // children + attributes + texts + clears

    // The i-th child, or the empty node when out of range.
    XMLNode getChildNode(int i = 0) const;
    // The first child at or after position *i (0 when `i` is null) whose name equals `name`,
    // ignoring case; on success *i is set to the position after it.
    XMLNode getChildNode(const char* name, int* i = nullptr) const;
    // The n-th (from 0) child named `name`, ignoring case; a negative `n` gives the last one.
    XMLNode getChildNode(const char* name, int n) const;
    // Follows a path of names separated by `separator` (empty parts are skipped); with
    // `createMissing` set, adds the elements that are missing.
    XMLNode getChildNodeByPath(const char* path, char createMissing = 0, char separator = '/');
    // The first child at or after position *i named `name` whose attribute `attributeName` is set
    // and, when `attributeValue` is not null, equals it exactly. *i as for getChildNode.
    XMLNode getChildNodeWithAttribute(const char* name, const char* attributeName,
                                      const char* attributeValue = nullptr,
                                      int* i = nullptr) const;

    const char* getText(int i = 0) const;  // the i-th text item (entities decoded), or null
    XMLClear getClear(int i = 0) const;    // all fields null when out of range
    XMLAttribute getAttribute(int i) const;  // all fields null when out of range
    const char* getAttributeName(int i = 0) const;
    const char* getAttributeValue(int i = 0) const;
    // Value of an attribute by name, ignoring case, with the conventions of getChildNode. An
    // attribute without value also gives null; isAttributeSet tells the two apart.
    const char* getAttribute(const char* name, int* i = nullptr) const;
    const char* getAttribute(const char* name, int n) const;
    char isAttributeSet(const char* name) const;

    // Item number i in document order: attributes first, then children, texts and clears as
    // they appear. `type` is eNodeNULL when i is out of range.
    XMLNodeContents enumContents(int i) const;

    // Positions in the order array (usable as `pos` of the add functions), -1 when not found.
    int positionOfText(int i = 0) const;
    int positionOfText(const char* text) const;  // by item (the pointer getText gave)
    int positionOfClear(int i = 0) const;
    int positionOfClear(const char* value) const;  // by item (the value pointer)
    int positionOfClear(const XMLClear* clear) const;
    int positionOfChildNode(int i = 0) const;
    int positionOfChildNode(const XMLNode& child) const;
    int positionOfChildNode(const char* name, int i = 0) const;  // i-th child of that name

    // ---- Building ----------------------------------------------------------------------------
    // Strings are copied; the _WOSD variants take ownership of a string allocated with malloc
    // (or stringDup) instead. `pos` -1, or any value outside the current order range, appends;
    // otherwise the new item goes before the item at that order position. On the empty node, or
    // when the item cannot be added, nothing happens, a _WOSD string is released, and the result
    // is the empty node or null.

    // A new root element with that name and no parent.
    static XMLNode createXMLTopNode(const char* name, char isDeclaration = 0);
    static XMLNode createXMLTopNode_WOSD(char* name, char isDeclaration = 0);

    // Adds a new child element. Refused when the tree would exceed maxDepth: the result is then
    // the empty node and takeBuildError gives eXMLErrorNestingTooDeep, so that a caller who
    // chains further calls on the result (which then do nothing) can still learn that data
    // was not stored.
    XMLNode addChild(const char* name, char isDeclaration = 0, int pos = -1);
    XMLNode addChild_WOSD(char* name, char isDeclaration = 0, int pos = -1);
    // Adopts an existing node, detaching it from its old parent first. Refused (empty node) when
    // `child` is this node or one of its ancestors, or when the tree would exceed maxDepth (as
    // for the other addChild, takeBuildError then tells).
    XMLNode addChild(XMLNode child, int pos = -1);
    // The first refusal of a building operation for depth in this thread since the last call,
    // which clears it: eXMLErrorNestingTooDeep when addChild, getChildNodeByPath (creating) or
    // updateName (naming an unnamed root) was refused because the tree would have exceeded
    // maxDepth; eXMLErrorNone when nothing was refused. Check it after building a document
    // whose depth comes from outside, before writing it.
    static XMLError takeBuildError();

    // Appends an attribute (`name` must not be null; `value` may be). The pointer is valid until
    // the next change of this node's attributes.
    XMLAttribute* addAttribute(const char* name, const char* value);
    XMLAttribute* addAttribute_WOSD(char* name, char* value);
    // Adds a text item (`text` must not be null); returns the stored text.
    const char* addText(const char* text, int pos = -1);
    const char* addText_WOSD(char* text, int pos = -1);
    // Adds a clear item. `openTag` must be one of the library's open tags (null: "<![CDATA[");
    // `closeTag` one of its close tags (null: the usual one for the open tag). The pointer is
    // valid until the next change of this node's clear items.
    XMLClear* addClear(const char* value, const char* openTag = nullptr,
                       const char* closeTag = nullptr, int pos = -1);
    XMLClear* addClear_WOSD(char* value, const char* openTag = nullptr,
                            const char* closeTag = nullptr, int pos = -1);

    // Replace in place; an item that does not exist is added. updateName on an unnamed root is
    // refused (null) when the name would make the tree deeper than maxDepth.
    const char* updateName(const char* name);
    const char* updateName_WOSD(char* name);
    // By index: replaces the value (and the name when one is given) of attribute i; appends a new
    // attribute when i is past the end and a name is given.
    XMLAttribute* updateAttribute(const char* value, const char* name = nullptr, int i = 0);
    XMLAttribute* updateAttribute_WOSD(char* value, char* name = nullptr, int i = 0);
    // By name: the attribute named `oldName` (ignoring case) gets the value and, when `name` is
    // not null, the new name; appended when there is none.
    XMLAttribute* updateAttribute(const char* value, const char* name, const char* oldName);
    XMLAttribute* updateAttribute_WOSD(char* value, char* name, const char* oldName);
    // By item: `oldAttribute` points into this node's attributes (as addAttribute gave it).
    XMLAttribute* updateAttribute(const XMLAttribute* newAttribute,
                                  const XMLAttribute* oldAttribute);
    const char* updateText(const char* text, int i = 0);
    const char* updateText_WOSD(char* text, int i = 0);
    const char* updateText(const char* text, const char* oldText);  // by item
    const char* updateText_WOSD(char* text, const char* oldText);
    XMLClear* updateClear(const char* value, int i = 0);
    XMLClear* updateClear_WOSD(char* value, int i = 0);
    XMLClear* updateClear(const char* value, const char* oldValue);  // by item (value pointer)
    XMLClear* updateClear_WOSD(char* value, const char* oldValue);
    XMLClear* updateClear(const XMLClear* newClear, const XMLClear* oldClear);  // by item

    void deleteAttribute(int i = 0);
    void deleteAttribute(const char* name);  // first attribute of that name, ignoring case
    void deleteAttribute(const XMLAttribute* attribute);  // by item
    void deleteText(int i = 0);
    void deleteText(const char* text);  // by item
    void deleteClear(int i = 0);
    void deleteClear(const char* value);  // by item
    void deleteClear(const XMLClear* clear);  // by item
    // Detaches the node from its parent and frees its content (name, attributes, texts, clears,
    // children); this handle becomes empty. Other handles to the node see an empty unnamed node;
    // handles to its children keep those alive, detached.
    void deleteNodeContent();
    // An independent copy of the node and everything below it, with no parent; it shares no
    // memory with the node's document, which may go while the copy stays.
    XMLNode deepCopy() const;
    // Makes this handle empty (the node itself lives on while other handles hold it).
    void emptyNode();

private:
    explicit XMLNode(XMLNodeDataTag* record) noexcept;  // takes one new reference
    XMLNodeDataTag* d;
    friend struct XMLNodeAccess;
};

// One item of a node, as enumContents gives it; only the member that `type` names is set.
struct XMLNodeContents {
    XMLElementType type;
    XMLNode child;
    XMLAttribute attribute;
    const char* text;
    XMLClear clear;
};

// Writes texts and attribute values with the five special characters escaped as entities.
class ToXMLStringTool {
public:
    ToXMLStringTool() = default;
    ~ToXMLStringTool();
    ToXMLStringTool(const ToXMLStringTool&) = delete;
    ToXMLStringTool& operator=(const ToXMLStringTool&) = delete;

    // The escaped form of `source` (null counts as empty) in the tool's own buffer, valid until
    // the next call or freeBuffer.
    char* toXML(const char* source);
    void freeBuffer();
    // Writes the escaped form, NUL-terminated, into `dest`, which must hold
    // lengthXMLString(source) + 1 bytes; returns dest.
    static char* toXMLUnSafe(char* dest, const char* source);
    // Length of the escaped form, without the NUL.
    static int lengthXMLString(const char* source);

private:
    char* buffer = nullptr;
    int capacity = 0;
};

// Base64 (RFC 4648 alphabet, "=" padding). Blanks (space, tab, CR, LF) in encoded text are
// ignored when decoding. Problems: 17 (warning) the text is not a multiple of 4 characters but
// decodes completely, the padding being implied; 18 an illegal character, or data after the
// padding; 19 (warning) the text ends inside a byte, whose bits are dropped; 20 the output
// buffer is too small.
class XMLParserBase64Tool {
public:
    XMLParserBase64Tool() = default;
    ~XMLParserBase64Tool();
    XMLParserBase64Tool(const XMLParserBase64Tool&) = delete;
    XMLParserBase64Tool& operator=(const XMLParserBase64Tool&) = delete;

    // Length of the encoded text for `inByteLength` bytes, without the NUL. Formatted text has a
    // line feed after every 72 characters (none at the end).
    static int encodeLength(int inByteLength, char formatted = 0);
    // Encodes into the tool's buffer (NUL-terminated, valid until the next call or freeBuffer).
    char* encode(const unsigned char* data, unsigned int length, char formatted = 0);
    // Number of bytes `text` decodes to; problems go to *error when it is not null.
    static unsigned int decodeSize(const char* text, XMLError* error = nullptr);
    // Decodes into the tool's buffer; null on error 18. The length goes to *outLength.
    unsigned char* decode(const char* text, int* outLength = nullptr, XMLError* error = nullptr);
    // Decodes into a caller's buffer of `capacity` bytes. Returns 1 on success (warnings
    // included), 0 on error 18 or 20.
    static unsigned char decode(const char* text, unsigned char* out, int capacity,
                                XMLError* error = nullptr);
    void freeBuffer();

private:
    void* buffer = nullptr;
};

// Copy of `length` bytes of `text` (all of it when `length` is -1; never past its NUL),
// NUL-terminated, to be released with freeXMLString. Null in, null out.
char* stringDup(const char* text, int length = -1);
// Releases a string from createXMLString or stringDup; null is ignored.
void freeXMLString(char* text);

// Conversions of a possibly null string, giving `defaultValue` when it is null or empty.
const char* xmltoa(const char* text, const char* defaultValue = "");
// 1 when the text starts with 1, t, T, y or Y; 0 otherwise.
char xmltob(const char* text, char defaultValue = 0);
char xmltoc(const char* text, char defaultValue = 0);  // the first character
int xmltoi(const char* text, int defaultValue = 0);    // base-10 strtol
long xmltol(const char* text, long defaultValue = 0);  // base-10 strtol
double xmltof(const char* text, double defaultValue = 0.0);  // strtod

#endif  // TAVRO_XMLPARSER_H
