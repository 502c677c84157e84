// The document model: node records and their lifetime, the handle class, navigation, building,
// the global options and error texts, and the small string helpers.
#include "xmlInternal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

XMLNode XMLNode::emptyXMLNode;

XMLGlobalOptions xmlOptions = {XMLNode::char_encoding_UTF8, 1, 1, 1};

const XMLClearTag XMLClearTags[XMLClearTagCount] = {
    {"<![CDATA[", 9, "]]>"},
    {"<!DOCTYPE", 9, ">"},
    {"<!--", 4, "-->"},
    {"<PRE>", 5, "</PRE>"},
};
const char XMLDoctypeSubsetClose[] = "]>";

const XMLEntity XMLEntities[XMLEntityCount] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''},
};

namespace {

const char* const errorTexts[] = {
    "No error",
    "Warning: Unmatched end tag",
    "Warning: No XML tag found",
    "Error: No XML data",
    "Error: Missing start tag name",
    "Error: Missing end tag name",
    "Error: Unmatched end tag",
    "Error: Unmatched clear tag end",
    "Error: Unexpected token found",
    "Error: No elements found",
    "Error: File not found",
    "Error: First Tag not found",
    "Error: Unknown character entity",
    "Error: Character code above 255 is forbidden in MultiByte char mode.",
    "Error: unable to convert between WideChar and MultiByte chars",
    "Error: unable to open file for writing",
    "Error: cannot write into file",
    "Warning: Base64-string length is not a multiple of 4",
    "Error: Base64-string contains an illegal character",
    "Warning: Base64-string is truncated",
    "Error: Base64 decode output buffer is too small",
    "Error: Elements are nested too deeply",
};

const unsigned char* const encodingTables[] = {
    nullptr,               XML_utf8ByteTable,      XML_legacyByteTable,   XML_sjisByteTable,
    XML_gb2312ByteTable,   XML_gbk_big5_ByteTable, XML_gbk_big5_ByteTable,
};

int orderCount(const XMLNodeDataTag* d) { return d->nChild + d->nText + d->nClear; }

int& countOf(XMLNodeDataTag* d, int kind) {
    return kind == eNodeChild ? d->nChild : kind == eNodeText ? d->nText : d->nClear;
}

// Makes sure `arr` has room for one more item beyond `count`, growing it by `increment` items,
// or by half its size when that is more, so that a node with very many items is not copied over
// and over while it fills. An array in the arena (part `bit` of the record) moves to the heap.
template <class T>
void reserveOne(XMLNodeDataTag* d, unsigned char bit, T*& arr, int& capacity, int count,
                int increment) {
    if (count < capacity) return;
    int grow = increment > 0 ? increment : 1;
    if (capacity / 2 > grow) grow = capacity / 2;
    size_t bytes = sizeof(T) * static_cast<size_t>(capacity + grow);
    if (d->arenaParts & bit) {
        T* fresh = static_cast<T*>(xmlMalloc(bytes));
        if (count) memcpy(fresh, arr, sizeof(T) * static_cast<size_t>(count));
        arr = fresh;
        d->arenaParts = static_cast<unsigned char>(d->arenaParts & ~bit);
    } else {
        arr = static_cast<T*>(xmlRealloc(arr, bytes));
    }
    capacity += grow;
}

template <class T>
void insertAt(XMLNodeDataTag* d, unsigned char bit, T*& arr, int& capacity, int& count, int index,
              T value, int increment) {
    reserveOne(d, bit, arr, capacity, count, increment);
    memmove(arr + index + 1, arr + index, sizeof(T) * static_cast<size_t>(count - index));
    arr[index] = value;
    ++count;
}

template <class T>
void removeAt(T* arr, int& count, int index) {
    memmove(arr + index, arr + index + 1, sizeof(T) * static_cast<size_t>(count - index - 1));
    --count;
}

template <class T>
void shrinkToFit(const XMLNodeDataTag* d, unsigned char bit, T*& arr, int& capacity, int count) {
    if (count == capacity || (d->arenaParts & bit)) return;
    if (count == 0) {
        free(arr);
        arr = nullptr;
    } else {
        arr = static_cast<T*>(xmlRealloc(arr, sizeof(T) * static_cast<size_t>(count)));
    }
    capacity = count;
}

// Adds the order entry of a new item of `kind` before order position `pos` (at the end when
// `pos` is out of range), moving later items of the same kind up by one index. Returns the index
// the new item takes in its own array; the caller inserts it there.
int insertOrderEntry(XMLNodeDataTag* d, int kind, int pos, int increment) {
    int n = orderCount(d);
    reserveOne(d, ArenaOrder, d->order, d->capOrder, n, increment * 3);
    int index = 0;
    if (pos < 0 || pos >= n) {
        pos = n;
        index = countOf(d, kind);
    } else {
        for (int i = 0; i < pos; ++i)
            if ((d->order[i] & 3) == kind) ++index;
        for (int i = pos; i < n; ++i)
            if ((d->order[i] & 3) == kind) d->order[i] += 4;
        memmove(d->order + pos + 1, d->order + pos, sizeof(int) * static_cast<size_t>(n - pos));
    }
    d->order[pos] = index * 4 + kind;
    return index;
}

// Removes the order entry of item `index` of `kind`; later items of that kind move down.
// Call before the item's count is decremented.
void removeOrderEntry(XMLNodeDataTag* d, int kind, int index) {
    int n = orderCount(d);
    int entry = index * 4 + kind;
    int pos = 0;
    while (pos < n && d->order[pos] != entry) ++pos;
    if (pos == n) return;
    memmove(d->order + pos, d->order + pos + 1, sizeof(int) * static_cast<size_t>(n - pos - 1));
    for (int i = 0; i < n - 1; ++i)
        if ((d->order[i] & 3) == kind && d->order[i] > entry) d->order[i] -= 4;
}

int findOrderPosition(const XMLNodeDataTag* d, int kind, int index) {
    if (!d || index < 0) return -1;
    int n = orderCount(d);
    for (int i = 0; i < n; ++i)
        if (d->order[i] == index * 4 + kind) return i;
    return -1;
}

// Frees the strings and arrays of a record; its children must have been handed off already.
void freeOwnedItems(XMLNodeDataTag* r) {
    if (!(r->arenaParts & ArenaStrings)) {
        xmlFreeString(r, r->name);
        for (int i = 0; i < r->nText; ++i) xmlFreeString(r, r->texts[i]);
        for (int i = 0; i < r->nClear; ++i) xmlFreeString(r, r->clears[i].value);
        for (int i = 0; i < r->nAttribute; ++i) {
            xmlFreeString(r, r->attributes[i].name);
            xmlFreeString(r, r->attributes[i].value);
        }
    }
    r->name = nullptr;
    unsigned char parts = r->arenaParts;
    if (!(parts & ArenaChildren)) free(r->children);
    if (!(parts & ArenaTexts)) free(r->texts);
    if (!(parts & ArenaClears)) free(r->clears);
    if (!(parts & ArenaAttributes)) free(r->attributes);
    if (!(parts & ArenaOrder)) free(r->order);
    r->arenaParts = static_cast<unsigned char>(parts & ArenaRecord);
    r->children = nullptr;
    r->texts = nullptr;
    r->clears = nullptr;
    r->attributes = nullptr;
    r->order = nullptr;
    r->nChild = r->nText = r->nClear = r->nAttribute = 0;
    r->capChild = r->capText = r->capClear = r->capAttribute = r->capOrder = 0;
}

// Detaches a child from its parent; the parent's reference goes, so the caller must hold one.
void detachFromParent(XMLNodeDataTag* child) {
    XMLNodeDataTag* p = child->parent;
    if (!p) return;
    int i = 0;
    while (i < p->nChild && p->children[i] != child) ++i;
    if (i < p->nChild) {
        removeOrderEntry(p, eNodeChild, i);
        removeAt(p->children, p->nChild, i);
    }
    child->parent = nullptr;
    xmlReleaseRecord(child);
}

// Records from `r` down to its deepest descendant, `r` included. Trees never exceed
// XMLNode::maxDepth levels, and at most two records of a chain are not levels, so the recursion
// is bounded.
int height(const XMLNodeDataTag* r) {
    int deepest = 0;
    for (int i = 0; i < r->nChild; ++i) {
        int h = height(r->children[i]);
        if (h > deepest) deepest = h;
    }
    return deepest + 1;
}

XMLNodeDataTag* copyRecord(const XMLNodeDataTag* s) {
    XMLNodeDataTag* r = xmlNewRecord(stringDup(s->name), s->isDeclaration);
    int n = orderCount(s);
    if (n) {
        r->order = static_cast<int*>(xmlMalloc(sizeof(int) * static_cast<size_t>(n)));
        memcpy(r->order, s->order, sizeof(int) * static_cast<size_t>(n));
        r->capOrder = n;
    }
    if (s->nText) {
        r->texts = static_cast<char**>(xmlMalloc(sizeof(char*) * static_cast<size_t>(s->nText)));
        for (int i = 0; i < s->nText; ++i) r->texts[i] = stringDup(s->texts[i]);
        r->nText = r->capText = s->nText;
    }
    if (s->nClear) {
        r->clears =
            static_cast<XMLClear*>(xmlMalloc(sizeof(XMLClear) * static_cast<size_t>(s->nClear)));
        for (int i = 0; i < s->nClear; ++i) {
            r->clears[i] = s->clears[i];
            r->clears[i].value = stringDup(s->clears[i].value);
        }
        r->nClear = r->capClear = s->nClear;
    }
    if (s->nAttribute) {
        r->attributes = static_cast<XMLAttribute*>(
            xmlMalloc(sizeof(XMLAttribute) * static_cast<size_t>(s->nAttribute)));
        for (int i = 0; i < s->nAttribute; ++i) {
            r->attributes[i].name = stringDup(s->attributes[i].name);
            r->attributes[i].value = stringDup(s->attributes[i].value);
        }
        r->nAttribute = r->capAttribute = s->nAttribute;
    }
    if (s->nChild) {
        r->children = static_cast<XMLNodeDataTag**>(
            xmlMalloc(sizeof(XMLNodeDataTag*) * static_cast<size_t>(s->nChild)));
        for (int i = 0; i < s->nChild; ++i) {
            XMLNodeDataTag* c = copyRecord(s->children[i]);
            c->parent = r;
            c->refCount = 1;
            r->children[i] = c;
        }
        r->nChild = r->capChild = s->nChild;
    }
    return r;
}

// Finds a clear tag of the table by its text; the static strings are what records store.
bool resolveClearTags(const char* openTag, const char* closeTag, const char** open,
                      const char** close) {
    int found = 0;
    if (openTag) {
        found = -1;
        for (int i = 0; i < XMLClearTagCount; ++i)
            if (strcmp(openTag, XMLClearTags[i].open) == 0) found = i;
        if (found < 0) return false;
    }
    *open = XMLClearTags[found].open;
    if (!closeTag) {
        *close = XMLClearTags[found].close;
        return true;
    }
    if (strcmp(closeTag, XMLDoctypeSubsetClose) == 0) {
        *close = XMLDoctypeSubsetClose;
        return true;
    }
    for (int i = 0; i < XMLClearTagCount; ++i)
        if (strcmp(closeTag, XMLClearTags[i].close) == 0) {
            *close = XMLClearTags[i].close;
            return true;
        }
    return false;
}

int attributeIndexByName(const XMLNodeDataTag* d, const char* name) {
    if (!d || !name) return -1;
    for (int i = 0; i < d->nAttribute; ++i)
        if (xmlEqualsIgnoreCase(d->attributes[i].name, name)) return i;
    return -1;
}

int attributeIndexByItem(const XMLNodeDataTag* d, const XMLAttribute* a) {
    if (!d || !a) return -1;
    for (int i = 0; i < d->nAttribute; ++i)
        if (&d->attributes[i] == a || (a->name && d->attributes[i].name == a->name)) return i;
    return -1;
}

int textIndexByItem(const XMLNodeDataTag* d, const char* text) {
    if (!d || !text) return -1;
    for (int i = 0; i < d->nText; ++i)
        if (d->texts[i] == text) return i;
    return -1;
}

int clearIndexByValue(const XMLNodeDataTag* d, const char* value) {
    if (!d || !value) return -1;
    for (int i = 0; i < d->nClear; ++i)
        if (d->clears[i].value == value) return i;
    return -1;
}

int clearIndexByItem(const XMLNodeDataTag* d, const XMLClear* c) {
    if (!d || !c) return -1;
    for (int i = 0; i < d->nClear; ++i)
        if (&d->clears[i] == c) return i;
    return clearIndexByValue(d, c->value);
}

// Replaces a string of record `d` by one from the heap.
void replaceString(XMLNodeDataTag* d, const char*& slot, char* value) {
    xmlFreeString(d, slot);
    slot = value;
    d->arenaParts = static_cast<unsigned char>(d->arenaParts & ~ArenaStrings);
}

void heapStrings(XMLNodeDataTag* d) {
    d->arenaParts = static_cast<unsigned char>(d->arenaParts & ~ArenaStrings);
}

// The first building operation of this thread refused for depth since takeBuildError.
thread_local XMLError buildError = eXMLErrorNone;

}  // namespace

// ---- Helpers shared by the library -------------------------------------------------------------

void xmlOutOfMemory() {
    fputs("xmlParser: out of memory\n", stderr);
    abort();
}

void* xmlMalloc(size_t size) {
    void* p = malloc(size ? size : 1);
    if (!p) xmlOutOfMemory();
    return p;
}

void* xmlRealloc(void* p, size_t size) {
    void* q = realloc(p, size ? size : 1);
    if (!q) xmlOutOfMemory();
    return q;
}

bool xmlIsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool xmlEqualsIgnoreCase(const char* a, const char* b) {
    if (!a || !b) return false;
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
        if (!x) return true;
    }
}

XMLNodeDataTag* xmlNewRecord(char* name, char isDeclaration) {
    auto* r = static_cast<XMLNodeDataTag*>(xmlMalloc(sizeof(XMLNodeDataTag)));
    memset(r, 0, sizeof(XMLNodeDataTag));
    r->name = name;
    r->isDeclaration = isDeclaration;
    return r;
}

void xmlReleaseRecord(XMLNodeDataTag* record) {
    if (!record || --record->refCount > 0) return;
    // Dead records go on a work list instead of being released recursively, so a tree of any
    // depth is freed in constant stack space. A child held by another handle survives, detached.
    record->nextDead = nullptr;
    XMLNodeDataTag* dead = record;
    while (dead) {
        XMLNodeDataTag* r = dead;
        dead = r->nextDead;
        for (int i = 0; i < r->nChild; ++i) {
            XMLNodeDataTag* c = r->children[i];
            c->parent = nullptr;
            if (--c->refCount == 0) {
                c->nextDead = dead;
                dead = c;
            }
        }
        r->nChild = 0;
        freeOwnedItems(r);
        XMLArena* arena = r->arena;
        if (!(r->arenaParts & ArenaRecord)) free(r);
        if (arena) xmlArenaRelease(arena);
    }
}

void xmlClearRecord(XMLNodeDataTag* r) {
    for (int i = 0; i < r->nChild; ++i) {
        r->children[i]->parent = nullptr;
        xmlReleaseRecord(r->children[i]);
    }
    r->nChild = 0;
    freeOwnedItems(r);
}

int xmlLevel(const XMLNodeDataTag* record) {
    if (!record) return 0;
    int level = 1;
    const XMLNodeDataTag* below = nullptr;  // the record under the topmost one on the path
    const XMLNodeDataTag* top = record;
    while (top->parent) {
        below = top;
        top = top->parent;
        ++level;
    }
    if (top->isDeclaration) return level - 1;
    if (!top->name) return level - 1 - (below && below->isDeclaration ? 1 : 0);
    return level;
}

int xmlChildLevel(const XMLNodeDataTag* parent, bool childIsDeclaration) {
    bool exempt = !parent->parent && !parent->name && !parent->isDeclaration && childIsDeclaration;
    return xmlLevel(parent) + (exempt ? 0 : 1);
}

void xmlRefuseBuilding() {
    if (buildError == eXMLErrorNone) buildError = eXMLErrorNestingTooDeep;
}

XMLArena* xmlArenaNew(size_t inputLength) {
    auto* a = new (xmlMalloc(sizeof(XMLArena))) XMLArena;
    a->refCount.store(1, std::memory_order_relaxed);
    a->sourceLength = inputLength;
    // Blocks of a quarter of the input: a few blocks per document, little left unused.
    size_t size = inputLength / 4;
    if (size < 4096) size = 4096;
    if (size > (size_t(4) << 20)) size = size_t(4) << 20;
    a->blockSize = size;
    a->blocks = nullptr;
    return a;
}

void* xmlArenaAlloc(XMLArena* a, size_t size, size_t align) {
    XMLArena::Block* b = a->blocks;
    if (b) {
        size_t at = (b->used + align - 1) & ~(align - 1);
        if (at + size <= b->size) {
            b->used = at + size;
            return reinterpret_cast<char*>(b + 1) + at;
        }
    }
    const size_t header = sizeof(XMLArena::Block);
    if (size > a->blockSize / 2) {
        // A large item gets a block of its own, behind the one being filled.
        auto* own = static_cast<XMLArena::Block*>(xmlMalloc(header + size));
        own->size = own->used = size;
        if (b) {
            own->next = b->next;
            b->next = own;
        } else {
            own->next = nullptr;
            a->blocks = own;
        }
        return own + 1;
    }
    auto* fresh = static_cast<XMLArena::Block*>(xmlMalloc(header + a->blockSize));
    fresh->size = a->blockSize;
    fresh->used = size;
    fresh->next = b;
    a->blocks = fresh;
    return fresh + 1;
}

void xmlArenaShrinkLast(XMLArena* a, void* p, size_t oldSize, size_t size) {
    XMLArena::Block* b = a->blocks;
    char* data = reinterpret_cast<char*>(b + 1);
    if (b && static_cast<char*>(p) + oldSize == data + b->used) b->used -= oldSize - size;
}

bool xmlArenaOwns(const XMLArena* a, const void* p) {
    const char* c = static_cast<const char*>(p);
    for (const XMLArena::Block* b = a->blocks; b; b = b->next) {
        const char* data = reinterpret_cast<const char*>(b + 1);
        if (c >= data && c < data + b->size) return true;
    }
    return false;
}

void xmlArenaRelease(XMLArena* a) {
    // The last release frees blocks other threads wrote records into: acquire their writes, and
    // release this thread's to whichever thread frees the blocks.
    if (a->refCount.fetch_sub(1, std::memory_order_acq_rel) > 1) return;
    for (XMLArena::Block* b = a->blocks; b;) {
        XMLArena::Block* next = b->next;
        free(b);
        b = next;
    }
    a->~XMLArena();
    free(a);
}

void xmlFreeString(const XMLNodeDataTag* d, const void* p) {
    if (!p) return;
    if (d->arena && xmlArenaOwns(d->arena, p)) return;
    free(const_cast<void*>(p));
}

int xmlInsertChild(XMLNodeDataTag* parent, XMLNodeDataTag* child, int pos, int increment) {
    reserveOne(parent, ArenaChildren, parent->children, parent->capChild, parent->nChild,
               increment);
    int index = insertOrderEntry(parent, eNodeChild, pos, increment);
    insertAt(parent, ArenaChildren, parent->children, parent->capChild, parent->nChild, index,
             child, increment);
    child->parent = parent;
    ++child->refCount;
    return index;
}

int xmlInsertText(XMLNodeDataTag* d, char* text, int pos, int increment) {
    heapStrings(d);
    reserveOne(d, ArenaTexts, d->texts, d->capText, d->nText, increment);
    int index = insertOrderEntry(d, eNodeText, pos, increment);
    insertAt(d, ArenaTexts, d->texts, d->capText, d->nText, index, text, increment);
    return index;
}

int xmlInsertClear(XMLNodeDataTag* d, char* value, const char* openTag, const char* closeTag,
                   int pos, int increment) {
    heapStrings(d);
    reserveOne(d, ArenaClears, d->clears, d->capClear, d->nClear, increment);
    int index = insertOrderEntry(d, eNodeClear, pos, increment);
    XMLClear c = {value, openTag, closeTag};
    insertAt(d, ArenaClears, d->clears, d->capClear, d->nClear, index, c, increment);
    return index;
}

int xmlAppendAttribute(XMLNodeDataTag* d, char* name, char* value, int increment) {
    heapStrings(d);
    XMLAttribute a = {name, value};
    insertAt(d, ArenaAttributes, d->attributes, d->capAttribute, d->nAttribute, d->nAttribute, a,
             increment);
    return d->nAttribute - 1;
}

void xmlRemoveClear(XMLNodeDataTag* d, int index) {
    xmlFreeString(d, d->clears[index].value);
    removeOrderEntry(d, eNodeClear, index);
    removeAt(d->clears, d->nClear, index);
}

void xmlShrinkRecord(XMLNodeDataTag* d) {
    shrinkToFit(d, ArenaChildren, d->children, d->capChild, d->nChild);
    shrinkToFit(d, ArenaTexts, d->texts, d->capText, d->nText);
    shrinkToFit(d, ArenaClears, d->clears, d->capClear, d->nClear);
    shrinkToFit(d, ArenaAttributes, d->attributes, d->capAttribute, d->nAttribute);
    shrinkToFit(d, ArenaOrder, d->order, d->capOrder, orderCount(d));
}

// ---- Handle ------------------------------------------------------------------------------------

XMLNode::XMLNode(XMLNodeDataTag* record) noexcept : d(record) {
    if (d) ++d->refCount;
}

XMLNode::XMLNode(const XMLNode& other) noexcept : d(other.d) {
    if (d) ++d->refCount;
}

XMLNode::XMLNode(XMLNode&& other) noexcept : d(other.d) { other.d = nullptr; }

XMLNode& XMLNode::operator=(const XMLNode& other) noexcept {
    if (other.d) ++other.d->refCount;
    xmlReleaseRecord(d);
    d = other.d;
    return *this;
}

XMLNode& XMLNode::operator=(XMLNode&& other) noexcept {
    if (this != &other) {
        xmlReleaseRecord(d);
        d = other.d;
        other.d = nullptr;
    }
    return *this;
}

XMLNode::~XMLNode() { xmlReleaseRecord(d); }

// ---- Library-wide ------------------------------------------------------------------------------

char XMLNode::setGlobalOptions(XMLCharEncoding encoding, char guessWideCharChars,
                               char dropWhiteSpace, char removeCommentsInMiddleOfText) {
    if (encoding < char_encoding_UTF8 || encoding > char_encoding_GBK) return 1;
    xmlOptions.characterEncoding = encoding;
    xmlOptions.guessWideCharChars = guessWideCharChars;
    xmlOptions.dropWhiteSpace = dropWhiteSpace;
    xmlOptions.removeCommentsInMiddleOfText = removeCommentsInMiddleOfText;
    XML_ByteTable = encodingTables[encoding];
    return 0;
}

const char* XMLNode::getError(XMLError error) {
    int code = static_cast<int>(error);
    if (code < 0 || code >= static_cast<int>(sizeof errorTexts / sizeof errorTexts[0]))
        return "Unknown";
    return errorTexts[code];
}

const char* XMLNode::getVersion() { return "v2.39"; }

XMLError XMLNode::takeBuildError() {
    XMLError e = buildError;
    buildError = eXMLErrorNone;
    return e;
}

// ---- Navigation --------------------------------------------------------------------------------

const char* XMLNode::getName() const { return d ? d->name : nullptr; }
char XMLNode::isEmpty() const { return d == nullptr; }
char XMLNode::isDeclaration() const { return d ? d->isDeclaration : 0; }
XMLNode XMLNode::getParentNode() const { return d ? XMLNode(d->parent) : XMLNode(); }

int XMLNode::nChildNode() const { return d ? d->nChild : 0; }
int XMLNode::nText() const { return d ? d->nText : 0; }
int XMLNode::nClear() const { return d ? d->nClear : 0; }
int XMLNode::nAttribute() const { return d ? d->nAttribute : 0; }
int XMLNode::nElement() const {
    return d ? d->nChild + d->nAttribute + d->nText + d->nClear : 0;
}

int XMLNode::nChildNode(const char* name) const {
    if (!d || !name) return 0;
    int n = 0;
    for (int i = 0; i < d->nChild; ++i)
        if (xmlEqualsIgnoreCase(d->children[i]->name, name)) ++n;
    return n;
}

XMLNode XMLNode::getChildNode(int i) const {
    if (!d || i < 0 || i >= d->nChild) return XMLNode();
    return XMLNode(d->children[i]);
}

XMLNode XMLNode::getChildNode(const char* name, int* i) const {
    if (!d || !name) return XMLNode();
    for (int j = i ? *i : 0; j >= 0 && j < d->nChild; ++j)
        if (xmlEqualsIgnoreCase(d->children[j]->name, name)) {
            if (i) *i = j + 1;
            return XMLNode(d->children[j]);
        }
    return XMLNode();
}

XMLNode XMLNode::getChildNode(const char* name, int n) const {
    if (!d || !name) return XMLNode();
    if (n < 0) {  // the last one, searched from the end (any negative count, INT_MIN too)
        for (int j = d->nChild - 1; j >= 0; --j)
            if (xmlEqualsIgnoreCase(d->children[j]->name, name)) return XMLNode(d->children[j]);
        return XMLNode();
    }
    for (int j = 0; j < d->nChild; ++j)
        if (xmlEqualsIgnoreCase(d->children[j]->name, name) && n-- == 0)
            return XMLNode(d->children[j]);
    return XMLNode();
}

XMLNode XMLNode::getChildNodeByPath(const char* path, char createMissing, char separator) {
    if (!d || !path) return XMLNode();
    XMLNode node = *this;
    const char* p = path;
    while (*p) {
        if (*p == separator) {
            ++p;
            continue;
        }
        const char* end = p;
        while (*end && *end != separator) ++end;
        char* part = stringDup(p, static_cast<int>(end - p));
        XMLNode next = node.getChildNode(part);
        if (next.isEmpty() && createMissing) next = node.addChild(part);
        freeXMLString(part);
        if (next.isEmpty()) return XMLNode();
        node = next;
        p = end;
    }
    return node;
}

XMLNode XMLNode::getChildNodeWithAttribute(const char* name, const char* attributeName,
                                           const char* attributeValue, int* i) const {
    if (!d || !name || !attributeName) return XMLNode();
    int j = i ? *i : 0;
    for (;;) {
        XMLNode c = getChildNode(name, &j);
        if (c.isEmpty()) return XMLNode();
        int a = attributeIndexByName(c.d, attributeName);
        if (a >= 0 && (!attributeValue ||
                       (c.d->attributes[a].value &&
                        strcmp(c.d->attributes[a].value, attributeValue) == 0))) {
            if (i) *i = j;
            return c;
        }
    }
}

const char* XMLNode::getText(int i) const {
    if (!d || i < 0 || i >= d->nText) return nullptr;
    return d->texts[i];
}

XMLClear XMLNode::getClear(int i) const {
    if (!d || i < 0 || i >= d->nClear) return XMLClear{nullptr, nullptr, nullptr};
    return d->clears[i];
}

XMLAttribute XMLNode::getAttribute(int i) const {
    if (!d || i < 0 || i >= d->nAttribute) return XMLAttribute{nullptr, nullptr};
    return d->attributes[i];
}

const char* XMLNode::getAttributeName(int i) const { return getAttribute(i).name; }
const char* XMLNode::getAttributeValue(int i) const { return getAttribute(i).value; }

const char* XMLNode::getAttribute(const char* name, int* i) const {
    if (!d || !name) return nullptr;
    for (int j = i ? *i : 0; j >= 0 && j < d->nAttribute; ++j)
        if (xmlEqualsIgnoreCase(d->attributes[j].name, name)) {
            if (i) *i = j + 1;
            return d->attributes[j].value;
        }
    return nullptr;
}

const char* XMLNode::getAttribute(const char* name, int n) const {
    if (!d || !name) return nullptr;
    if (n < 0) {  // the last one, searched from the end (any negative count, INT_MIN too)
        for (int j = d->nAttribute - 1; j >= 0; --j)
            if (xmlEqualsIgnoreCase(d->attributes[j].name, name)) return d->attributes[j].value;
        return nullptr;
    }
    for (int j = 0; j < d->nAttribute; ++j)
        if (xmlEqualsIgnoreCase(d->attributes[j].name, name) && n-- == 0)
            return d->attributes[j].value;
    return nullptr;
}

char XMLNode::isAttributeSet(const char* name) const {
    return attributeIndexByName(d, name) >= 0;
}

XMLNodeContents XMLNode::enumContents(int i) const {
    XMLNodeContents c{eNodeNULL, XMLNode(), {nullptr, nullptr}, nullptr, {nullptr, nullptr, nullptr}};
    if (!d || i < 0) return c;
    if (i < d->nAttribute) {
        c.type = eNodeAttribute;
        c.attribute = d->attributes[i];
        return c;
    }
    i -= d->nAttribute;
    if (i >= orderCount(d)) return c;
    int index = d->order[i] >> 2;
    c.type = static_cast<XMLElementType>(d->order[i] & 3);
    if (c.type == eNodeChild) c.child = XMLNode(d->children[index]);
    else if (c.type == eNodeText) c.text = d->texts[index];
    else c.clear = d->clears[index];
    return c;
}

int XMLNode::positionOfText(int i) const { return findOrderPosition(d, eNodeText, i); }
int XMLNode::positionOfText(const char* text) const {
    return findOrderPosition(d, eNodeText, textIndexByItem(d, text));
}
int XMLNode::positionOfClear(int i) const { return findOrderPosition(d, eNodeClear, i); }
int XMLNode::positionOfClear(const char* value) const {
    return findOrderPosition(d, eNodeClear, clearIndexByValue(d, value));
}
int XMLNode::positionOfClear(const XMLClear* clear) const {
    return findOrderPosition(d, eNodeClear, clearIndexByItem(d, clear));
}
int XMLNode::positionOfChildNode(int i) const { return findOrderPosition(d, eNodeChild, i); }
int XMLNode::positionOfChildNode(const XMLNode& child) const {
    if (!d || !child.d) return -1;
    for (int i = 0; i < d->nChild; ++i)
        if (d->children[i] == child.d) return findOrderPosition(d, eNodeChild, i);
    return -1;
}
int XMLNode::positionOfChildNode(const char* name, int i) const {
    if (!d || !name || i < 0) return -1;  // no child has a negative number
    for (int j = 0; j < d->nChild; ++j)
        if (xmlEqualsIgnoreCase(d->children[j]->name, name) && i-- == 0)
            return findOrderPosition(d, eNodeChild, j);
    return -1;
}

// ---- Building ----------------------------------------------------------------------------------

XMLNode XMLNode::createXMLTopNode(const char* name, char isDeclaration) {
    return createXMLTopNode_WOSD(stringDup(name), isDeclaration);
}

XMLNode XMLNode::createXMLTopNode_WOSD(char* name, char isDeclaration) {
    return XMLNode(xmlNewRecord(name, isDeclaration));
}

XMLNode XMLNode::addChild(const char* name, char isDeclaration, int pos) {
    if (!d) return XMLNode();
    return addChild_WOSD(stringDup(name), isDeclaration, pos);
}

XMLNode XMLNode::addChild_WOSD(char* name, char isDeclaration, int pos) {
    if (!d) {
        free(name);
        return XMLNode();
    }
    if (xmlChildLevel(d, isDeclaration != 0) > maxDepth) {
        xmlRefuseBuilding();
        free(name);
        return XMLNode();
    }
    XMLNodeDataTag* c = xmlNewRecord(name, isDeclaration);
    xmlInsertChild(d, c, pos, 0);
    return XMLNode(c);
}

XMLNode XMLNode::addChild(XMLNode child, int pos) {
    if (!d || !child.d) return XMLNode();
    for (const XMLNodeDataTag* a = d; a; a = a->parent)
        if (a == child.d) return XMLNode();
    if (xmlChildLevel(d, child.d->isDeclaration != 0) + height(child.d) - 1 > maxDepth) {
        xmlRefuseBuilding();
        return XMLNode();
    }
    detachFromParent(child.d);  // `child` keeps it alive
    xmlInsertChild(d, child.d, pos, 0);
    return child;
}

XMLAttribute* XMLNode::addAttribute(const char* name, const char* value) {
    if (!d || !name) return nullptr;
    return addAttribute_WOSD(stringDup(name), stringDup(value));
}

XMLAttribute* XMLNode::addAttribute_WOSD(char* name, char* value) {
    if (!d || !name) {
        free(name);
        free(value);
        return nullptr;
    }
    int i = xmlAppendAttribute(d, name, value, 0);  // may move the array
    return &d->attributes[i];
}

const char* XMLNode::addText(const char* text, int pos) {
    if (!d || !text) return nullptr;
    return addText_WOSD(stringDup(text), pos);
}

const char* XMLNode::addText_WOSD(char* text, int pos) {
    if (!d || !text) {
        free(text);
        return nullptr;
    }
    int i = xmlInsertText(d, text, pos, 0);
    return d->texts[i];
}

XMLClear* XMLNode::addClear(const char* value, const char* openTag, const char* closeTag,
                            int pos) {
    if (!d || !value) return nullptr;
    return addClear_WOSD(stringDup(value), openTag, closeTag, pos);
}

XMLClear* XMLNode::addClear_WOSD(char* value, const char* openTag, const char* closeTag,
                                 int pos) {
    const char *open = nullptr, *close = nullptr;
    if (!d || !value || !resolveClearTags(openTag, closeTag, &open, &close)) {
        free(value);
        return nullptr;
    }
    int i = xmlInsertClear(d, value, open, close, pos, 0);
    return &d->clears[i];
}

const char* XMLNode::updateName(const char* name) {
    if (!d) return nullptr;
    return updateName_WOSD(stringDup(name));
}

const char* XMLNode::updateName_WOSD(char* name) {
    if (!d) {
        free(name);
        return nullptr;
    }
    // Naming an unnamed root makes it, and a declaration under it, levels of their own.
    if (!d->name && name && !d->parent && !d->isDeclaration && height(d) > maxDepth) {
        xmlRefuseBuilding();
        free(name);
        return nullptr;
    }
    xmlFreeString(d, d->name);
    d->name = name;
    heapStrings(d);
    return name;
}

XMLAttribute* XMLNode::updateAttribute(const char* value, const char* name, int i) {
    if (!d) return nullptr;
    return updateAttribute_WOSD(stringDup(value), stringDup(name), i);
}

XMLAttribute* XMLNode::updateAttribute_WOSD(char* value, char* name, int i) {
    if (!d || i < 0) {
        free(value);
        free(name);
        return nullptr;
    }
    if (i >= d->nAttribute) return addAttribute_WOSD(name, value);  // refused without a name
    XMLAttribute& a = d->attributes[i];
    replaceString(d, a.value, value);
    if (name) replaceString(d, a.name, name);
    return &a;
}

XMLAttribute* XMLNode::updateAttribute(const char* value, const char* name, const char* oldName) {
    if (!d) return nullptr;
    return updateAttribute_WOSD(stringDup(value), stringDup(name), oldName);
}

XMLAttribute* XMLNode::updateAttribute_WOSD(char* value, char* name, const char* oldName) {
    int i = attributeIndexByName(d, oldName);
    if (i >= 0) return updateAttribute_WOSD(value, name, i);
    if (d && !name) name = stringDup(oldName);
    return addAttribute_WOSD(name, value);
}

XMLAttribute* XMLNode::updateAttribute(const XMLAttribute* newAttribute,
                                       const XMLAttribute* oldAttribute) {
    if (!d || !newAttribute) return nullptr;
    int i = attributeIndexByItem(d, oldAttribute);
    if (i < 0) return addAttribute(newAttribute->name, newAttribute->value);
    return updateAttribute_WOSD(stringDup(newAttribute->value), stringDup(newAttribute->name), i);
}

const char* XMLNode::updateText(const char* text, int i) {
    if (!d || !text) return nullptr;
    return updateText_WOSD(stringDup(text), i);
}

const char* XMLNode::updateText_WOSD(char* text, int i) {
    if (!d || !text || i < 0) {
        free(text);
        return nullptr;
    }
    if (i >= d->nText) return addText_WOSD(text);
    xmlFreeString(d, d->texts[i]);
    d->texts[i] = text;
    heapStrings(d);
    return text;
}

const char* XMLNode::updateText(const char* text, const char* oldText) {
    if (!d || !text) return nullptr;
    return updateText_WOSD(stringDup(text), oldText);
}

const char* XMLNode::updateText_WOSD(char* text, const char* oldText) {
    int i = textIndexByItem(d, oldText);
    return updateText_WOSD(text, i < 0 ? (d ? d->nText : 0) : i);
}

XMLClear* XMLNode::updateClear(const char* value, int i) {
    if (!d || !value) return nullptr;
    return updateClear_WOSD(stringDup(value), i);
}

XMLClear* XMLNode::updateClear_WOSD(char* value, int i) {
    if (!d || !value || i < 0) {
        free(value);
        return nullptr;
    }
    if (i >= d->nClear) return addClear_WOSD(value);
    replaceString(d, d->clears[i].value, value);
    return &d->clears[i];
}

XMLClear* XMLNode::updateClear(const char* value, const char* oldValue) {
    if (!d || !value) return nullptr;
    return updateClear_WOSD(stringDup(value), oldValue);
}

XMLClear* XMLNode::updateClear_WOSD(char* value, const char* oldValue) {
    int i = clearIndexByValue(d, oldValue);
    return updateClear_WOSD(value, i < 0 ? (d ? d->nClear : 0) : i);
}

XMLClear* XMLNode::updateClear(const XMLClear* newClear, const XMLClear* oldClear) {
    if (!d || !newClear || !newClear->value) return nullptr;
    int i = clearIndexByItem(d, oldClear);
    if (i < 0) return addClear(newClear->value, newClear->openTag, newClear->closeTag);
    const char *open = nullptr, *close = nullptr;
    if (!resolveClearTags(newClear->openTag, newClear->closeTag, &open, &close)) return nullptr;
    XMLClear& c = d->clears[i];
    replaceString(d, c.value, stringDup(newClear->value));
    c.openTag = open;
    c.closeTag = close;
    return &c;
}

void XMLNode::deleteAttribute(int i) {
    if (!d || i < 0 || i >= d->nAttribute) return;
    xmlFreeString(d, d->attributes[i].name);
    xmlFreeString(d, d->attributes[i].value);
    removeAt(d->attributes, d->nAttribute, i);
}

void XMLNode::deleteAttribute(const char* name) { deleteAttribute(attributeIndexByName(d, name)); }

void XMLNode::deleteAttribute(const XMLAttribute* attribute) {
    deleteAttribute(attributeIndexByItem(d, attribute));
}

void XMLNode::deleteText(int i) {
    if (!d || i < 0 || i >= d->nText) return;
    xmlFreeString(d, d->texts[i]);
    removeOrderEntry(d, eNodeText, i);
    removeAt(d->texts, d->nText, i);
}

void XMLNode::deleteText(const char* text) { deleteText(textIndexByItem(d, text)); }

void XMLNode::deleteClear(int i) {
    if (!d || i < 0 || i >= d->nClear) return;
    xmlRemoveClear(d, i);
}

void XMLNode::deleteClear(const char* value) { deleteClear(clearIndexByValue(d, value)); }
void XMLNode::deleteClear(const XMLClear* clear) { deleteClear(clearIndexByItem(d, clear)); }

void XMLNode::deleteNodeContent() {
    if (!d) return;
    detachFromParent(d);
    xmlClearRecord(d);
    emptyNode();
}

XMLNode XMLNode::deepCopy() const {
    if (!d) return XMLNode();
    return XMLNode(copyRecord(d));
}

void XMLNode::emptyNode() {
    xmlReleaseRecord(d);
    d = nullptr;
}

// ---- Free functions ----------------------------------------------------------------------------

char* stringDup(const char* text, int length) {
    if (!text) return nullptr;
    size_t n = length < 0 ? strlen(text) : strnlen(text, static_cast<size_t>(length));
    char* s = static_cast<char*>(xmlMalloc(n + 1));
    memcpy(s, text, n);
    s[n] = 0;
    return s;
}

void freeXMLString(char* text) { free(text); }

const char* xmltoa(const char* text, const char* defaultValue) {
    return text && *text ? text : defaultValue;
}

char xmltob(const char* text, char defaultValue) {
    if (!text || !*text) return defaultValue;
    char c = *text;
    return c == '1' || c == 't' || c == 'T' || c == 'y' || c == 'Y';
}

char xmltoc(const char* text, char defaultValue) {
    return text && *text ? *text : defaultValue;
}

int xmltoi(const char* text, int defaultValue) {
    return text && *text ? static_cast<int>(strtol(text, nullptr, 10)) : defaultValue;
}

long xmltol(const char* text, long defaultValue) {
    return text && *text ? strtol(text, nullptr, 10) : defaultValue;
}

double xmltof(const char* text, double defaultValue) {
    return text && *text ? strtod(text, nullptr) : defaultValue;
}
