// Internals shared by the xmlParser source files: the node record, the global options, the
// character tables and the low-level helpers for building and scanning. Not installed.
#ifndef TAVRO_XMLINTERNAL_H
#define TAVRO_XMLINTERNAL_H

#include "xmlParser.h"

#include <atomic>
#include <cstddef>

// Declared like XMLNodeDataTag in xmlParser.h, whose records point to it; its functions below
// are hidden all the same.
struct XMLArena;

// Nothing declared here is exported from the shared library.
#pragma GCC visibility push(hidden)

// One node of a document. Every entry of `children` holds one reference to the child, exactly as
// a handle does; `parent` is a plain back link and holds none, so no cycle of references exists.
struct XMLNodeDataTag {
    char* name;  // null for the unnamed document root
    int nChild;
    int nText;
    int nClear;
    int nAttribute;
    char isDeclaration;
    XMLNodeDataTag* parent;
    XMLNodeDataTag** children;
    char** texts;
    XMLClear* clears;
    XMLAttribute* attributes;  // names and values are owned (allocated with malloc)
    int* order;  // one entry per child, text and clear in document order: index * 4 + kind
    int refCount;

    // Allocated sizes of the arrays above.
    int capChild;
    int capText;
    int capClear;
    int capAttribute;
    int capOrder;
    // Link of the work list used while releasing a tree, so that release needs no recursion.
    XMLNodeDataTag* nextDead;
    // A parsed record lives in the parse's arena (and holds one reference to it); `arenaParts`
    // says which of its parts are arena memory, which is never freed on its own. Records made
    // by the building operations have no arena.
    XMLArena* arena;
    unsigned char arenaParts;
};

// Parts of a record that may live in its arena.
enum : unsigned char {
    ArenaRecord = 1,       // the record itself
    ArenaChildren = 2,     // the arrays
    ArenaTexts = 4,
    ArenaClears = 8,
    ArenaAttributes = 16,
    ArenaOrder = 32,
    ArenaStrings = 64,     // every string of the record (none was added or replaced since)
};

// Bump allocator for one parse: the records, strings and arrays of a parsed document come from
// a few large blocks instead of one malloc each, and go together when the last record that
// uses them is freed. Until then every block stays, however little of it is still reachable.
// The count is atomic: subtrees of one document may be released on different threads.
struct XMLArena {
    struct Block {
        Block* next;
        size_t size;
        size_t used;
    };
    std::atomic<int> refCount;
    size_t sourceLength;  // bytes of the text parsed
    size_t blockSize;  // size of the next ordinary block
    Block* blocks;     // the block being filled first
};
// A new arena whose blocks are sized for a text of `inputLength` bytes; one reference.
XMLArena* xmlArenaNew(size_t inputLength);
void* xmlArenaAlloc(XMLArena* arena, size_t size, size_t align);
// Gives back the end of the latest allocation `p`, keeping its first `size` bytes.
void xmlArenaShrinkLast(XMLArena* arena, void* p, size_t oldSize, size_t size);
bool xmlArenaOwns(const XMLArena* arena, const void* p);
void xmlArenaRelease(XMLArena* arena);
// Frees a string of record `d`, unless it is arena memory.
void xmlFreeString(const XMLNodeDataTag* d, const void* p);

// Process-wide options.
struct XMLGlobalOptions {
    XMLNode::XMLCharEncoding characterEncoding;
    char guessWideCharChars;
    char dropWhiteSpace;
    char removeCommentsInMiddleOfText;
};
extern XMLGlobalOptions xmlOptions;

// Width tables: for each byte value, the number of bytes of a character starting with it.
extern const unsigned char XML_utf8ByteTable[256];
extern const unsigned char XML_legacyByteTable[256];
extern const unsigned char XML_sjisByteTable[256];
extern const unsigned char XML_gb2312ByteTable[256];
extern const unsigned char XML_gbk_big5_ByteTable[256];
// The table of the current encoding.
extern const unsigned char* XML_ByteTable;

// Width of the character at `p`, with at most `remaining` bytes available (pass SIZE_MAX for a
// NUL-terminated string). A multi-byte character counts as a whole only when all its trailing
// bytes are there and plausible: 0x80..0xBF in UTF-8, 0x40 or above in the other encodings. Any
// other lead byte counts as one byte. Markup characters and NUL are all below 0x40, so a
// character never swallows markup or the end of a string, and reader and writer always agree
// on where characters start.
size_t xmlCharWidth(const unsigned char* p, size_t remaining);

// True when the data looks like wide-character text: at least 4 bytes of even length that begin
// with a 16-bit byte-order mark, or whose first 256 32-bit units are mostly below 256 or hold a 0.
bool xmlIsWideText(const unsigned char* data, size_t length);
// Converts wide-character text into NUL-terminated 8-bit text of the current encoding, allocated
// with malloc. False when the text is malformed or cannot be represented.
bool xmlConvertWideText(const unsigned char* data, size_t length, char** text,
                        size_t* textLength);

// Clear tags in the order the tokenizer tries them.
struct XMLClearTag {
    const char* open;
    size_t openLength;
    const char* close;
};
enum { XMLClearTagCount = 4, XMLClearDoctype = 1, XMLClearComment = 2 };
extern const XMLClearTag XMLClearTags[XMLClearTagCount];
// Close tag of a "<!DOCTYPE" clear item that has an internal subset.
extern const char XMLDoctypeSubsetClose[];

// The named entities and the characters they stand for.
struct XMLEntity {
    const char* text;  // "&amp;" ...
    size_t length;
    char character;
};
enum { XMLEntityCount = 5 };
extern const XMLEntity XMLEntities[XMLEntityCount];

bool xmlIsBlank(unsigned char c);  // space, tab, CR, LF
// ASCII comparison ignoring case; a null string equals nothing.
bool xmlEqualsIgnoreCase(const char* a, const char* b);

// Ends the process on an allocation failure; the library has no path for running out of memory.
[[noreturn]] void xmlOutOfMemory();
void* xmlMalloc(size_t size);
void* xmlRealloc(void* p, size_t size);

// ---- Records ------------------------------------------------------------------------------------

// A new record with no content, taking `name`. Its reference count is 0: the first handle
// (XMLNodeAccess::wrap) or parent (xmlInsertChild) that takes it adds the first reference.
XMLNodeDataTag* xmlNewRecord(char* name, char isDeclaration);
// Drops one reference; frees the record and, by the same rule, what it owns when none is left.
void xmlReleaseRecord(XMLNodeDataTag* record);
// Frees every item of a record (name included) and leaves it empty.
void xmlClearRecord(XMLNodeDataTag* record);
// Nesting level of `record`: the number of records from the topmost ancestor down to it, both
// included, without the two that do not count as levels of elements: an unnamed topmost record
// (the root of a parsed document with several top items) and a declaration at the top of a
// document (the topmost record, or the child of an unnamed topmost record). The writer writes
// both without enclosing tags, or as the XML declaration that encloses the rest, so that the
// parser, which counts the same way, reads back every tree that can be built.
int xmlLevel(const XMLNodeDataTag* record);
// Level a new child of `parent` would have.
int xmlChildLevel(const XMLNodeDataTag* parent, bool childIsDeclaration);
// Records that a building operation was refused because the tree would grow too deep.
void xmlRefuseBuilding();

// Add items, growing the arrays by `increment` items (1 when 0; more for large arrays). Ownership of the strings passes
// to the record; a child gets its parent link and one reference. Return the index of the new item
// in its own array.
int xmlInsertChild(XMLNodeDataTag* parent, XMLNodeDataTag* child, int pos, int increment);
int xmlInsertText(XMLNodeDataTag* d, char* text, int pos, int increment);
int xmlInsertClear(XMLNodeDataTag* d, char* value, const char* openTag, const char* closeTag,
                   int pos, int increment);
int xmlAppendAttribute(XMLNodeDataTag* d, char* name, char* value, int increment);
void xmlRemoveClear(XMLNodeDataTag* d, int index);
// Shrinks all arrays of a record to their exact sizes.
void xmlShrinkRecord(XMLNodeDataTag* d);

// Access to the record behind a handle, for the reader and the writer.
struct XMLNodeAccess {
    static XMLNodeDataTag* record(const XMLNode& node) { return node.d; }
    // A handle taking one new reference to `record`.
    static XMLNode wrap(XMLNodeDataTag* record) { return XMLNode(record); }
};

#pragma GCC visibility pop

#endif  // TAVRO_XMLINTERNAL_H
