// libFuzzer target: parses arbitrary bytes as XML and, when a document comes out, checks that
// writing it and reading the text back reproduces the same text.
//
// The first byte selects the options (encoding, whitespace, comment handling, format flag); the
// rest is the document. The input is handed over with its exact length and no terminating NUL,
// so any read past its end is caught by AddressSanitizer.
#include "xmlParser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Documents the writer cannot reproduce are left out of the round-trip check. The parser skips
// blanks after "<" and ends names only at blanks, "<", "=", ">" and "/>", so it accepts names
// that, written back, read as something else: "< !--x>" and "< PRE>" come back as clear tags,
// "< /x>" as an end tag, "< ?x>" as a declaration, "<a/ >" ends its end tag "</a/>" with "/>",
// and an attribute name from an unclosed quote reads back as a quoted text.
bool plainName(const char* name) {
    if (!name) return true;
    if (strcmp(name, "PRE") == 0) return false;
    return strpbrk(name, "!/?\"'") == nullptr;
}

// A declaration has no end tag, so one with content is written back correctly only as the last
// item of its parent ("<?b><x/></b><y/>" reads back with y inside b).
bool reproducible(const XMLNode& node) {
    if (!plainName(node.getName())) return false;
    for (int i = 0; i < node.nAttribute(); ++i)
        if (!plainName(node.getAttributeName(i))) return false;
    int items = node.nElement() - node.nAttribute();
    for (int i = 0; i < node.nChildNode(); ++i) {
        XMLNode child = node.getChildNode(i);
        if (child.isDeclaration() && child.nElement() > child.nAttribute() &&
            node.positionOfChildNode(i) != items - 1)
            return false;
        if (!reproducible(child)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t options = data[0];
    ++data;
    --size;
    auto encoding = static_cast<XMLNode::XMLCharEncoding>(1 + (options & 7) % 6);
    XMLNode::setGlobalOptions(encoding, 1, (options >> 3) & 1 ? 0 : 1, (options >> 4) & 1);
    int format = (options >> 5) & 1;

    XMLResults results;
    XMLNode document =
        XMLNode::parseBuffer(reinterpret_cast<const char*>(data), size, nullptr, &results);
    if (results.error >= eXMLErrorNoXMLData && !document.isEmpty()) abort();
    if (results.error != eXMLErrorNone && results.line < 1) abort();

    // The same input as a NUL-terminated string must give the same outcome.
    std::vector<char> copy(reinterpret_cast<const char*>(data),
                           reinterpret_cast<const char*>(data) + size);
    copy.push_back(0);
    XMLResults again;
    XMLNode::parseString(copy.data(), nullptr, &again);
    if (again.error != results.error || again.line != results.line ||
        again.column != results.column)
        abort();

    if (document.isEmpty()) return 0;
    XMLNode copied = document.deepCopy();
    int length = 0;
    char* first = copied.createXMLString(format, &length);
    if (static_cast<int>(strlen(first)) != length) abort();
    if (reproducible(document)) {
        XMLResults reread;
        XMLNode second = XMLNode::parseString(first, nullptr, &reread);
        if (reread.error >= eXMLErrorNoXMLData) abort();
        char* text = second.createXMLString(format);
        if (strcmp(first, text) != 0) abort();
        freeXMLString(text);
    }
    freeXMLString(first);
    XMLNode::setGlobalOptions();
    return 0;
}
