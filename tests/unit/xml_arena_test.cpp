// Memory of parsed documents: what a kept node holds once its document is dropped, and parts of
// one document released on different threads.
#include "xmlParser.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <thread>

namespace {

// A document of about 6 MB: many small elements with text and an attribute.
std::string largeDocument() {
    std::string text = "<doc>";
    for (int i = 0; i < 120000; ++i)
        text += "<item id=\"" + std::to_string(i) + "\">value " + std::to_string(i) + "</item>";
    return text + "</doc>";
}

size_t heapInUse() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

struct Kept {
    const char* name;
    bool copy;
    bool holdsDocument;
};

class KeptLeaf : public testing::TestWithParam<Kept> {};

// A plain handle to a leaf keeps the whole document's memory; a deep copy of it keeps none.
TEST_P(KeptLeaf, HoldsTheDocumentOnlyWithoutADeepCopy) {
    const std::string text = largeDocument();
    const size_t before = heapInUse();
    if (before == 0) GTEST_SKIP() << "this allocator does not report its use through mallinfo2";
    XMLNode leaf;
    {
        XMLNode document = XMLNode::parseString(text.c_str(), nullptr, nullptr);
        XMLNode found = document.getChildNode("item", 500);
        leaf = GetParam().copy ? found.deepCopy() : found;
    }
    ASSERT_STREQ(leaf.getText(), "value 500");
    const size_t held = heapInUse() - before;
    if (GetParam().holdsDocument)
        EXPECT_GT(held, text.size()) << held << " bytes held";
    else
        EXPECT_LT(held, size_t(64) << 10) << held << " bytes held";
}

INSTANTIATE_TEST_SUITE_P(Handles, KeptLeaf,
                         testing::Values(Kept{"Handle", false, true},
                                         Kept{"DeepCopy", true, false}),
                         [](const testing::TestParamInfo<Kept>& p) { return p.param.name; });

// Two subtrees of one document, detached when the document goes, released at once on two
// threads: both drop their hold on the document's shared memory, and the last one frees it
// (ThreadSanitizer reports a race here when that count is not atomic).
TEST(ParsedSubtrees, ReleasedOnTwoThreadsAtOnce) {
    for (int round = 0; round < 50; ++round) {
        XMLNode document = XMLNode::parseString("<a><b>x</b><c>y</c></a>", nullptr, nullptr);
        XMLNode b = document.getChildNode("b");
        XMLNode c = document.getChildNode("c");
        document = XMLNode();
        std::thread first([&b] { b = XMLNode(); });
        std::thread second([&c] { c = XMLNode(); });
        first.join();
        second.join();
        ASSERT_TRUE(b.isEmpty() && c.isEmpty());
    }
}

}  // namespace
