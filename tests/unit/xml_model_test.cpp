// The in-memory document: lookups, building, item positions, handle lifetimes and the bound on
// nesting when building.
#include "xmlParser.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string unformatted(const XMLNode& node) {
    char* s = node.createXMLString(0);
    std::string out = s ? s : "";
    freeXMLString(s);
    return out;
}

// A chain of `levels` nested elements; returns the top, stores the deepest in *leaf.
XMLNode chain(int levels, XMLNode* leaf) {
    XMLNode top = XMLNode::createXMLTopNode("n");
    XMLNode node = top;
    for (int i = 1; i < levels; ++i) node = node.addChild("n");
    if (leaf) *leaf = node;
    return top;
}

TEST(XmlModel, ChildNamesMatchIgnoringCase) {
    XMLNode top = XMLNode::createXMLTopNode("xml", 1);
    top.addChild("Quorvel").addChild("Settings").addChild("ClickStill").addText("12");

    for (const char* root : {"QuorVel", "Quorvel", "QUORVEL"}) {
        XMLNode settings = top.getChildNode(root).getChildNode("SETTINGS");
        EXPECT_STREQ("12", settings.getChildNode("clickstill").getText()) << root;
    }
    EXPECT_TRUE(top.getChildNode("Quorvel2").isEmpty());
    EXPECT_TRUE(top.getChildNode("Quorve").isEmpty());
}

TEST(XmlModel, RepeatedNamesByCountAndByPosition) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    r.addChild("a").addText("1");
    r.addChild("b");
    r.addChild("A").addText("2");
    r.addChild("a").addText("3");

    EXPECT_EQ(3, r.nChildNode("a"));
    EXPECT_STREQ("2", r.getChildNode("a", 1).getText());
    EXPECT_STREQ("3", r.getChildNode("a", -1).getText());
    EXPECT_TRUE(r.getChildNode("a", 3).isEmpty());

    int i = 0;
    std::vector<std::string> found;
    for (XMLNode c = r.getChildNode("a", &i); !c.isEmpty(); c = r.getChildNode("a", &i))
        found.push_back(c.getText());
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), found);
    EXPECT_EQ(4, i);  // after the last match; left alone by the failed lookup
}

TEST(XmlModel, MissingPartsGiveEmptyNodesAndNullPointers) {
    XMLNode e = XMLNode::createXMLTopNode("e");
    EXPECT_EQ(nullptr, e.getText(0));
    EXPECT_TRUE(e.getChildNode("x").getChildNode(0).isEmpty());
    EXPECT_EQ(nullptr, e.getChildNode("x").getChildNode("y").getText());
    EXPECT_EQ(nullptr, e.getChildNode("x").getAttribute("a"));

    XMLNode empty;
    EXPECT_TRUE(empty.addChild("c").isEmpty());
    EXPECT_EQ(nullptr, empty.addText("t"));
    int size = 5;
    EXPECT_EQ(nullptr, empty.createXMLString(1, &size));
    EXPECT_EQ(0, size);
}

TEST(XmlModel, ItemsKeepDocumentOrderAndInsertPositions) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    r.addText("t1");
    r.addChild("c1");
    r.addText("t0", 0);                     // before everything
    r.addClear("x", "<!--", nullptr, 1);    // between t0 and t1
    r.addChild("c0", 0, 99);                // out of range: appended
    EXPECT_EQ("<r>t0<!--x-->t1<c1/><c0/></r>", unformatted(r));

    EXPECT_STREQ("t0", r.getText(0));
    EXPECT_STREQ("t1", r.getText(1));
    EXPECT_EQ(2, r.positionOfText(1));
    EXPECT_EQ(3, r.positionOfChildNode("C1"));
    EXPECT_EQ(eNodeClear, r.enumContents(1).type);
    EXPECT_EQ(eNodeNULL, r.enumContents(5).type);

    r.deleteText(0);
    r.addChild("c2", 0, r.positionOfText(0));
    EXPECT_EQ("<r><!--x--><c2/>t1<c1/><c0/></r>", unformatted(r));
    EXPECT_STREQ("t1", r.getText(0));
}

TEST(XmlModel, AttributesAreUpdatedAndDeletedByIndexAndName) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    r.addAttribute("Version", "1.0");
    XMLAttribute* flag = r.addAttribute("flag", nullptr);
    EXPECT_STREQ("1.0", r.getAttribute("version"));
    EXPECT_TRUE(r.isAttributeSet("FLAG"));
    EXPECT_EQ(nullptr, r.getAttribute("flag"));
    EXPECT_EQ(nullptr, flag->value);

    r.updateAttribute("2.0", nullptr, "VERSION");  // by name, keeps the name
    r.updateAttribute("on", "state", 1);           // by index, renames
    r.updateAttribute("new", "extra", 7);          // past the end with a name: appended
    EXPECT_EQ("<r Version=\"2.0\" state=\"on\" extra=\"new\"/>", unformatted(r));

    r.deleteAttribute("STATE");
    r.deleteAttribute(0);
    EXPECT_EQ(1, r.nAttribute());
    EXPECT_STREQ("extra", r.getAttributeName(0));
}

TEST(XmlModel, ReleasingTheRootLeavesHeldChildrenUsable) {
    XMLNode child;
    {
        XMLNode root = XMLNode::createXMLTopNode("r");
        child = root.addChild("c");
        child.addChild("g").addText("x");
        root.addChild("other");
    }
    EXPECT_TRUE(child.getParentNode().isEmpty());
    EXPECT_STREQ("x", child.getChildNode("g").getText());

    // The same for a parsed document, whose child handles outlive it.
    XMLNode b;
    {
        XMLNode doc = XMLNode::parseString("<a><b>x</b></a>");
        b = doc.getChildNode("b");
    }
    EXPECT_STREQ("x", b.getText());
    EXPECT_TRUE(b.getParentNode().isEmpty());
}

TEST(XmlModel, DeleteNodeContentDetachesAndEmpties) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    XMLNode a = r.addChild("a");
    XMLNode g = a.addChild("g");
    g.addText("kept");
    r.addChild("b");
    XMLNode other = a;

    a.deleteNodeContent();
    EXPECT_TRUE(a.isEmpty());
    EXPECT_EQ("<r><b/></r>", unformatted(r));
    EXPECT_EQ(nullptr, other.getName());  // other handles see an empty node
    EXPECT_EQ(0, other.nChildNode());
    EXPECT_STREQ("kept", g.getText());
    EXPECT_TRUE(g.getParentNode().isEmpty());
}

TEST(XmlModel, DeepCopyIsIndependent) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    XMLNode c = r.addChild("c");
    c.addAttribute("k", "v");
    c.addText("t");
    c.addClear("raw");

    XMLNode copy = c.deepCopy();
    EXPECT_TRUE(copy.getParentNode().isEmpty());
    EXPECT_EQ(unformatted(c), unformatted(copy));
    copy.updateText("changed");
    copy.updateAttribute("w", nullptr, 0);
    EXPECT_EQ("<c k=\"v\">t<![CDATA[raw]]></c>", unformatted(c));
}

TEST(XmlModel, AdoptionMovesNodesAndRefusesCycles) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    XMLNode a = r.addChild("a");
    XMLNode b = r.addChild("b");
    XMLNode x = a.addChild("x");

    EXPECT_FALSE(b.addChild(x).isEmpty());
    EXPECT_EQ("<r><a/><b><x/></b></r>", unformatted(r));
    EXPECT_EQ("b", std::string(x.getParentNode().getName()));

    EXPECT_TRUE(x.addChild(r).isEmpty());  // an ancestor
    EXPECT_TRUE(b.addChild(b).isEmpty());  // itself
    EXPECT_EQ("<r><a/><b><x/></b></r>", unformatted(r));
}

TEST(XmlModel, BuildingStopsAtTheDepthLimit) {
    XMLNode leaf;
    XMLNode top = chain(XMLNode::maxDepth, &leaf);
    EXPECT_TRUE(leaf.addChild("deeper").isEmpty());
    EXPECT_TRUE(leaf.getChildNodeByPath("p/q", 1).isEmpty());

    // Adopting a subtree counts its height.
    XMLNode pair = chain(2, nullptr);
    EXPECT_TRUE(leaf.getParentNode().addChild(pair).isEmpty());
    EXPECT_FALSE(leaf.getParentNode().getParentNode().addChild(pair).isEmpty());
}

void* buildAndRelease(void*) {
    XMLNode top = chain(XMLNode::maxDepth, nullptr);
    top = XMLNode();  // frees the whole chain here, on the small stack
    return nullptr;
}

TEST(XmlModel, ReleasingADeepTreeNeedsLittleStack) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 32 * 1024);
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, &attr, buildAndRelease, nullptr));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

TEST(XmlModel, PathsFindAndCreateElements) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    EXPECT_TRUE(r.getChildNodeByPath("a/b").isEmpty());
    XMLNode b = r.getChildNodeByPath("/a//b/", 1);
    ASSERT_FALSE(b.isEmpty());
    EXPECT_EQ(unformatted(b), unformatted(r.getChildNodeByPath("A.B", 0, '.')));
    EXPECT_EQ("<r><a><b/></a></r>", unformatted(r));
}

TEST(XmlModel, UnknownEncodingsAndTagsAreRefused) {
    EXPECT_EQ(1, XMLNode::setGlobalOptions(static_cast<XMLNode::XMLCharEncoding>(0)));
    EXPECT_EQ(1, XMLNode::setGlobalOptions(static_cast<XMLNode::XMLCharEncoding>(7)));
    EXPECT_STREQ("Unknown", XMLNode::getError(static_cast<XMLError>(99)));

    // Clear items store the library's own tag strings, so other tags are refused.
    XMLNode r = XMLNode::createXMLTopNode("r");
    EXPECT_EQ(nullptr, r.addClear("v", "<!FOO"));
    EXPECT_EQ(nullptr, r.addClear("v", "<!--", "??"));
    EXPECT_STREQ("]>", r.addClear("v", "<!DOCTYPE", "]>")->closeTag);
}

}  // namespace

namespace {

TEST(XmlModelRefusals, RefusedChildIsReportedNotLostSilently) {
    XMLNode::takeBuildError();  // from earlier tests in this thread
    XMLNode leaf;
    XMLNode top = chain(XMLNode::maxDepth, &leaf);
    EXPECT_EQ(eXMLErrorNone, XMLNode::takeBuildError());

    // A chained call on the refused child stores nothing; the refusal is there to be asked for.
    EXPECT_EQ(nullptr, leaf.addChild("deeper").addText("value"));
    EXPECT_EQ(eXMLErrorNestingTooDeep, XMLNode::takeBuildError());
    EXPECT_EQ(eXMLErrorNone, XMLNode::takeBuildError());  // taken: cleared

    // The first refusal stays until it is taken, whatever succeeds after it.
    EXPECT_TRUE(leaf.getChildNodeByPath("p/q", 1).isEmpty());
    EXPECT_FALSE(top.addChild("shallow").isEmpty());
    EXPECT_EQ(eXMLErrorNestingTooDeep, XMLNode::takeBuildError());

    // Adoption past the limit is refused the same way; within it, nothing is recorded.
    XMLNode pair = chain(2, nullptr);
    EXPECT_TRUE(leaf.getParentNode().addChild(pair).isEmpty());
    EXPECT_EQ(eXMLErrorNestingTooDeep, XMLNode::takeBuildError());
    EXPECT_FALSE(leaf.getParentNode().getParentNode().addChild(pair).isEmpty());
    EXPECT_EQ(eXMLErrorNone, XMLNode::takeBuildError());

    // Refusals belong to the thread that met them.
    EXPECT_TRUE(leaf.addChild("deeper").isEmpty());
    XMLError seenElsewhere = eXMLErrorNone;
    std::thread([&] { seenElsewhere = XMLNode::takeBuildError(); }).join();
    EXPECT_EQ(eXMLErrorNone, seenElsewhere);
    EXPECT_EQ(eXMLErrorNestingTooDeep, XMLNode::takeBuildError());
}

TEST(XmlModelRefusals, DeclarationAtTheTopIsNotALevel) {
    // Under a declaration all maxDepth levels of elements can be built, and no more.
    XMLNode declaration = XMLNode::createXMLTopNode("xml", 1);
    XMLNode node = declaration;
    for (int i = 0; i < XMLNode::maxDepth; ++i) {
        node = node.addChild("n");
        ASSERT_FALSE(node.isEmpty()) << "level " << i + 1;
    }
    EXPECT_TRUE(node.addChild("n").isEmpty());
    EXPECT_EQ(eXMLErrorNestingTooDeep, XMLNode::takeBuildError());

    // A declaration nested in an element is written inline and counts like any element.
    XMLNode leaf;
    XMLNode top = chain(XMLNode::maxDepth - 1, &leaf);
    EXPECT_FALSE(leaf.addChild("pi", 1).isEmpty());
    EXPECT_TRUE(leaf.getChildNode("pi").addChild("n").isEmpty());
    EXPECT_EQ(eXMLErrorNestingTooDeep, XMLNode::takeBuildError());

    // Naming an unnamed root that holds a full-depth declaration would add two levels.
    XMLNode unnamed = XMLNode::createXMLTopNode(nullptr);
    node = unnamed.addChild("xml", 1);
    for (int i = 0; i < XMLNode::maxDepth; ++i) node = node.addChild("n");
    ASSERT_FALSE(node.isEmpty());
    EXPECT_EQ(nullptr, unnamed.updateName("named"));
    EXPECT_EQ(eXMLErrorNestingTooDeep, XMLNode::takeBuildError());
    EXPECT_EQ(nullptr, unnamed.getName());
}

TEST(XmlModelRefusals, ExtremeCountsAndPositions) {
    XMLNode r = XMLNode::parseString("<r a='1' b='x' A='2'><c>1</c><d/><C>2</C></r>");
    for (int n : {-1, -2, INT_MIN}) {
        EXPECT_STREQ("2", r.getChildNode("c", n).getText()) << n;
        EXPECT_STREQ("2", r.getAttribute("a", n)) << n;
        EXPECT_EQ(-1, r.positionOfChildNode("c", n)) << n;
    }
    EXPECT_TRUE(r.getChildNode("c", INT_MAX).isEmpty());
    EXPECT_EQ(nullptr, r.getAttribute("a", INT_MAX));
    EXPECT_EQ(-1, r.positionOfChildNode("c", INT_MAX));
    EXPECT_EQ(2, r.positionOfChildNode("c", 1));
    int position = INT_MIN;
    EXPECT_TRUE(r.getChildNode("c", &position).isEmpty());
    EXPECT_EQ(nullptr, r.getAttribute("a", &position));
    EXPECT_TRUE(r.getChildNode("nothing", -1).isEmpty());
}

// A parsed document keeps its items in bulk memory; every way of changing and releasing it
// must still free exactly what the heap gave (a wrong free aborts the process).
TEST(XmlModelRefusals, ParsedDocumentsCanBeChangedAndReleasedInAnyOrder) {
    XMLNode doc = XMLNode::parseString(
        "<r v='1' w='2'>t0<a x='y'>t1<!-- c -->t2<b/></a><![CDATA[raw]]><e>z</e></r>");
    XMLNode a = doc.getChildNode("a");
    EXPECT_STREQ("t1t2", a.getText());
    a.updateText("new");
    a.updateName("A2");
    doc.updateAttribute("3", nullptr, "v");
    doc.deleteAttribute("w");
    doc.addAttribute("added", "yes");
    for (int i = 0; i < 60; ++i) a.addChild("grown").addText("g");  // arena arrays move to heap
    doc.updateClear("changed", 0);
    doc.deleteText(0);
    XMLNode e = doc.getChildNode("e");
    e.deleteText(0);
    e.addText("again");
    XMLNode copy = doc.deepCopy();
    EXPECT_EQ(unformatted(doc), unformatted(copy));

    XMLNode b = a.getChildNode("b");
    a.deleteNodeContent();
    doc = XMLNode();  // the root goes first; b and e still hold the bulk memory
    EXPECT_TRUE(b.getParentNode().isEmpty());
    EXPECT_EQ("<e>again</e>", unformatted(e));
    b.addText("late");
    e = XMLNode();
    EXPECT_EQ("<b>late</b>", unformatted(b));
    b = XMLNode();
    EXPECT_EQ(61, copy.getChildNode("A2").nChildNode());
}

}  // namespace
