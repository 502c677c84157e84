// Hostile input: nesting deep enough to exhaust the stack, and input cut at every byte, read
// from buffers that end exactly where the input ends; the deepest trees that can be built,
// written to files and read back.
#include "xmlParser.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::string repeat(const char* piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += piece;
    return s;
}

class XmlHostile : public ::testing::Test {
protected:
    void TearDown() override { XMLNode::setGlobalOptions(); }
};

TEST_F(XmlHostile, NestingUpToTheLimitIsAccepted) {
    const int depth = XMLNode::maxDepth;
    std::string text = repeat("<a>", depth) + "x" + repeat("</a>", depth);
    XMLResults r;
    XMLNode doc = XMLNode::parseString(text.c_str(), nullptr, &r);
    ASSERT_EQ(eXMLErrorNone, r.error);

    // Such a document can be copied, written and read again.
    XMLNode copy = doc.deepCopy();
    char* written = copy.createXMLString(0);
    EXPECT_EQ(text, written);
    freeXMLString(written);
    written = doc.createXMLString(1);
    XMLNode::parseString(written, nullptr, &r);
    EXPECT_EQ(eXMLErrorNone, r.error);
    freeXMLString(written);
}

TEST_F(XmlHostile, DeeperNestingIsRefusedWithItsPosition) {
    const int depth = XMLNode::maxDepth;
    std::string text = repeat("<a>", depth) + "\n" + repeat("<b>", 3);
    XMLResults r;
    EXPECT_TRUE(XMLNode::parseString(text.c_str(), nullptr, &r).isEmpty());
    EXPECT_EQ(eXMLErrorNestingTooDeep, r.error);
    EXPECT_EQ(2, r.line);
    EXPECT_EQ(1, r.column);
    EXPECT_STREQ("Error: Elements are nested too deeply", XMLNode::getError(r.error));

    // Far deeper input is refused just as well, without using up the stack.
    text = repeat("<a x='1'>", 200000) + repeat("</a>", 200000);
    EXPECT_TRUE(XMLNode::parseString(text.c_str(), nullptr, &r).isEmpty());
    EXPECT_EQ(eXMLErrorNestingTooDeep, r.error);
}

// Every prefix of each document, in every encoding, parsed from a buffer of exactly that size,
// must give the same outcome as the same prefix as a NUL-terminated string.
TEST_F(XmlHostile, InputCutAtEveryByte) {
    const char* documents[] = {
        ("<?xml version=\"1.0\" encoding='utf-8'?>\n<r a=\"x&amp;y\" b='&#x41;' c=d e>"
         "t &lt; &#233; &#x3A; &quot;</r>"),
        "<a><![CDATA[raw]]><!-- c --><!DOCTYPE d [ <!ENTITY e 'v'> ]><PRE>p</PRE></a>",
        "<a><b>&am</b>&#</a>&#x&#12&apos",
        "<a>\xE2\x82\xAC\xC3\xA9\x83\x5C\xA4\x5D</a  ><b/ ></b></a>",
        "<x\n  y = \"unterminated <z attr='v'/>",
    };
    for (int encoding = 1; encoding <= 6; ++encoding) {
        XMLNode::setGlobalOptions(static_cast<XMLNode::XMLCharEncoding>(encoding));
        for (const char* doc : documents) {
            size_t size = strlen(doc);
            for (size_t cut = 0; cut <= size; ++cut) {
                std::unique_ptr<char[]> exact(new char[cut ? cut : 1]);
                memcpy(exact.get(), doc, cut);
                XMLResults a, b;
                XMLNode fromBuffer = XMLNode::parseBuffer(exact.get(), cut, nullptr, &a);
                std::string terminated(doc, cut);
                XMLNode fromString = XMLNode::parseString(terminated.c_str(), nullptr, &b);
                ASSERT_EQ(a.error, b.error) << encoding << " [" << terminated << "]";
                ASSERT_EQ(a.line, b.line);
                ASSERT_EQ(a.column, b.column);
                ASSERT_EQ(fromBuffer.isEmpty(), fromString.isEmpty());
            }
        }
    }
}

TEST_F(XmlHostile, TruncatedEntitiesAreErrors) {
    for (const char* text : {"<a>&", "<a>&#", "<a>&#x", "<a>&am", "<a>&#12", "<a v='&#x4"}) {
        std::string s(text);
        XMLResults r;
        XMLNode::parseBuffer(s.data(), s.size(), nullptr, &r);
        EXPECT_EQ(eXMLErrorUnknownCharacterEntity, r.error) << text;
    }
}

TEST_F(XmlHostile, ANulByteEndsTheInput) {
    const char text[] = "<a/>\0<b/>";
    XMLResults r;
    XMLNode d = XMLNode::parseBuffer(text, sizeof text - 1, nullptr, &r);
    EXPECT_EQ(eXMLErrorNone, r.error);
    EXPECT_STREQ("a", d.getName());
}

TEST_F(XmlHostile, LongDocumentsTakeLinearTime) {
    std::string text = "<r>" + repeat("<c v=\"1\">t</c>", 100000) + "</r>";
    XMLResults r;
    XMLNode d = XMLNode::parseString(text.c_str(), nullptr, &r);
    ASSERT_EQ(eXMLErrorNone, r.error);
    EXPECT_EQ(100000, d.nChildNode());
    char* written = d.createXMLString(0);
    EXPECT_TRUE(text == written);
    freeXMLString(written);

    // A long run of texts and comments merges into one text.
    text = "<r>" + repeat("ab<!-- c -->", 100000) + "</r>";
    d = XMLNode::parseString(text.c_str(), nullptr, &r);
    ASSERT_EQ(eXMLErrorNone, r.error);
    EXPECT_EQ(1, d.nText());
    EXPECT_EQ(200000u, strlen(d.getText()));

    // Building as many children one by one stays fast as well.
    XMLNode built = XMLNode::createXMLTopNode("r");
    for (int i = 0; i < 100000; ++i) built.addChild("c").addText("t");
    EXPECT_EQ(100000, built.nChildNode());
}

}  // namespace

namespace {

// Levels of elements from `node` down its first children, `node` included when it is not a
// declaration.
int elementDepth(XMLNode node) {
    int depth = 0;
    for (; !node.isEmpty(); node = node.getChildNode(0))
        if (!node.isDeclaration()) ++depth;
    return depth;
}

class XmlDepthRoundTrip : public XmlHostile {
protected:
    XmlDepthRoundTrip() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/xmldepth.XXXXXX";
        dir = mkdtemp(&pattern[0]) ? pattern : "";
    }
    ~XmlDepthRoundTrip() override {
        unlink(path().c_str());
        rmdir(dir.c_str());
    }
    std::string path() const { return dir + "/deep.xml"; }
    std::string dir;
};

// What the writer writes, the parser reads: a tree as deep as building allows comes back whole
// from a file, whether the declaration is the tree's own or the one writeToFile adds.
TEST_F(XmlDepthRoundTrip, DeepestBuildableTreesReadBackFromFiles) {
    for (int encoding : {1, 2}) {
        XMLNode::setGlobalOptions(static_cast<XMLNode::XMLCharEncoding>(encoding));
        for (bool ownDeclaration : {true, false}) {
            XMLNode top = ownDeclaration ? XMLNode::createXMLTopNode("xml", 1)
                                         : XMLNode::createXMLTopNode("n");
            if (ownDeclaration) top.addAttribute("version", "1.0");
            XMLNode node = top;
            while (!node.isEmpty()) {
                node.addText("t");
                XMLNode next = node.addChild("n");
                if (next.isEmpty()) break;
                node = next;
            }
            ASSERT_EQ(eXMLErrorNestingTooDeep, XMLNode::takeBuildError());
            ASSERT_EQ(XMLNode::maxDepth, elementDepth(top));
            for (char format : {0, 1}) {
                ASSERT_EQ(eXMLErrorNone, top.writeToFile(path().c_str(), "ISO-8859-1", format));
                XMLResults r;
                XMLNode back = XMLNode::parseFile(path().c_str(), nullptr, &r);
                ASSERT_EQ(eXMLErrorNone, r.error)
                    << XMLNode::getError(r.error) << " own declaration " << ownDeclaration
                    << " format " << int(format) << " encoding " << encoding;
                EXPECT_TRUE(back.isDeclaration());
                EXPECT_EQ(XMLNode::maxDepth, elementDepth(back));
            }
        }
    }
}

TEST_F(XmlHostile, DeclarationDoesNotCountAsALevelWhenParsing) {
    const int depth = XMLNode::maxDepth;
    std::string declared = "<?xml version=\"1.0\"?>\n";
    XMLResults r;
    XMLNode d = XMLNode::parseString(
        (declared + repeat("<a>", depth) + repeat("</a>", depth)).c_str(), nullptr, &r);
    EXPECT_EQ(eXMLErrorNone, r.error);
    EXPECT_EQ(depth, elementDepth(d));
    // A level more is refused, declaration or not.
    XMLNode::parseString((declared + repeat("<a>", depth + 1)).c_str(), nullptr, &r);
    EXPECT_EQ(eXMLErrorNestingTooDeep, r.error);
    // A declaration inside an element is closed at once and counts like an element.
    XMLNode::parseString((repeat("<a>", depth) + "<?pi?>").c_str(), nullptr, &r);
    EXPECT_EQ(eXMLErrorNestingTooDeep, r.error);
}

}  // namespace
