// Writing documents: the exact bytes of strings and files, round trips through text and files,
// and file errors that leave existing files intact.
#include "xmlParser.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/xmlwriter.XXXXXX";
        path_ = mkdtemp(&pattern[0]) ? pattern : "";
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string file(const char* name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string toString(const XMLNode& node, int format) {
    int size = -1;
    char* s = node.createXMLString(format, &size);
    std::string out(s, static_cast<size_t>(size));
    EXPECT_EQ(strlen(s), static_cast<size_t>(size));
    freeXMLString(s);
    return out;
}

// The settings document: key, value as the settings code formats them.
const char* const settingsKeys[][2] = {
    {"D0", "70.000000"}, {"Mx", "5.000000"}, {"Bx", "-250.000000"}, {"My", "5.000000"},
    {"By", "-340.000000"}, {"CPixel", "1.000000"}, {"DistanceThresh", "0.040000"},
    {"StabThresh", "7.000000"}, {"CThetaX", "1.000000"}, {"CalDistance", "3.100000"},
    {"Dmin", "3.200000"}, {"DistanceCounterMax", "12.000000"}, {"XYCounterMax", "3"},
    {"RollCounterMax", "5"}, {"SubframeInterpolation", "3"}, {"RotationCompensation", "1"},
    {"TavroMenu", "0"}, {"Sleepingfactor", "30"}, {"PowerThresh", "1"}, {"ClickStill", "12"},
    {"XcalScreen", "1280"}, {"YcalScreen", "768"}, {"BaudRate", "115200"},
    {"DistanceScaling", "0"}, {"DeviceName", "/dev/ttyUSB0"},
    {"TavroMenuPath", "Start_TavroMENU.exe"},
};

XMLNode settingsDocument() {
    XMLNode top = XMLNode::createXMLTopNode("xml", 1);
    top.addAttribute("version", "1.0");
    XMLNode settings = top.addChild("Quorvel").addChild("Settings");
    for (const auto& key : settingsKeys) settings.addChild(key[0]).addText(key[1]);
    return top;
}

// The settings file as the kit must write it: every line ends with a single line feed, the
// elements are indented with tabs, and each key sits on one line with its value.
std::string settingsText() {
    std::string text = "<?xml version=\"1.0\"?>\n<Quorvel>\n\t<Settings>\n";
    for (const auto& key : settingsKeys)
        text += std::string("\t\t<") + key[0] + ">" + key[1] + "</" + key[0] + ">\n";
    return text + "\t</Settings>\n</Quorvel>\n";
}

// Same structure: names, attributes, and every item in document order.
void expectSameTree(const XMLNode& a, const XMLNode& b, const std::string& where = "") {
    ASSERT_EQ(a.isEmpty(), b.isEmpty()) << where;
    EXPECT_STREQ(a.getName(), b.getName()) << where;
    EXPECT_EQ(a.isDeclaration(), b.isDeclaration()) << where;
    ASSERT_EQ(a.nElement(), b.nElement()) << where;
    for (int i = 0; i < a.nElement(); ++i) {
        XMLNodeContents x = a.enumContents(i), y = b.enumContents(i);
        std::string at = where + "/" + (a.getName() ? a.getName() : "") + "#" + std::to_string(i);
        ASSERT_EQ(x.type, y.type) << at;
        if (x.type == eNodeAttribute) {
            EXPECT_STREQ(x.attribute.name, y.attribute.name) << at;
            EXPECT_STREQ(x.attribute.value, y.attribute.value) << at;
        } else if (x.type == eNodeText) {
            EXPECT_STREQ(x.text, y.text) << at;
        } else if (x.type == eNodeClear) {
            EXPECT_STREQ(x.clear.value, y.clear.value) << at;
            EXPECT_STREQ(x.clear.openTag, y.clear.openTag) << at;
            EXPECT_STREQ(x.clear.closeTag, y.clear.closeTag) << at;
        } else {
            expectSameTree(x.child, y.child, at);
        }
    }
}

// A document with every kind of item and every character the writer must escape.
XMLNode richDocument() {
    XMLNode r = XMLNode::createXMLTopNode("Root");
    r.addAttribute("quoted", "a<b>&\"c\" 'd'");
    r.addAttribute("bare", nullptr);
    r.addAttribute("empty", "");
    r.addChild("pi", 1).addAttribute("target", "x?");
    XMLNode mixed = r.addChild("mixed");
    mixed.addText("one & two");
    mixed.addChild("empty");
    mixed.addText("caf\xC3\xA9 \xE2\x82\xAC <tag> \"q\" 'a'");
    mixed.addClear(" keep <raw> & ", "<![CDATA[");
    r.addClear(" note ", "<!--");
    r.addChild("blanks").addText("  padded\tin \n the middle\t ");
    r.addChild("deep").addChild("er").addChild("est").addAttribute("k", "v");
    r.addClear(" a [ <!ENTITY e \"x\"> ] ", "<!DOCTYPE", "]>");
    return r;
}

class XmlWriter : public ::testing::Test {
protected:
    void TearDown() override { XMLNode::setGlobalOptions(); }
    TempDir dir;
};

TEST_F(XmlWriter, SettingsFileBytesExactly) {
    XMLNode doc = settingsDocument();
    std::string path = dir.file("Tavro.xml");

    ASSERT_EQ(0, XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8));
    ASSERT_EQ(eXMLErrorNone, doc.writeToFile(path.c_str(), "ISO-8859-1", 1));
    EXPECT_EQ("\xEF\xBB\xBF" + settingsText(), readFile(path));

    ASSERT_EQ(0, XMLNode::setGlobalOptions(XMLNode::char_encoding_legacy));
    ASSERT_EQ(eXMLErrorNone, doc.writeToFile(path.c_str(), "ISO-8859-1", 1));
    EXPECT_EQ(settingsText(), readFile(path));
}

TEST_F(XmlWriter, SettingsFileReadsBackToTheSameTree) {
    XMLNode doc = settingsDocument();
    std::string path = dir.file("Tavro.xml");
    ASSERT_EQ(eXMLErrorNone, doc.writeToFile(path.c_str(), "ISO-8859-1", 1));

    XMLNode read = XMLNode::openFileHelper(path.c_str(), nullptr);
    expectSameTree(doc, read);
    XMLNode settings = read.getChildNode("QuorVel").getChildNode("Settings");
    for (const auto& key : settingsKeys)
        EXPECT_STREQ(key[1], settings.getChildNode(key[0]).getText()) << key[0];
}

TEST_F(XmlWriter, DeclarationLineDependsOnEncoding) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    std::string path = dir.file("r.xml");
    struct Case {
        XMLNode::XMLCharEncoding encoding;
        const char* argument;
        const char* expected;
    } cases[] = {
        {XMLNode::char_encoding_legacy, "ISO-8859-1",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r/>\n"},
        {XMLNode::char_encoding_legacy, nullptr,
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r/>\n"},
        {XMLNode::char_encoding_legacy, "windows-1252",
         "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<r/>\n"},
        {XMLNode::char_encoding_UTF8, "ISO-8859-1",
         "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<r/>\n"},
        {XMLNode::char_encoding_ShiftJIS, "ISO-8859-1",
         "<?xml version=\"1.0\" encoding=\"SHIFT-JIS\"?>\n<r/>\n"},
    };
    for (const Case& c : cases) {
        XMLNode::setGlobalOptions(c.encoding);
        ASSERT_EQ(eXMLErrorNone, r.writeToFile(path.c_str(), c.argument, 1));
        EXPECT_EQ(c.expected, readFile(path)) << c.encoding << " " << c.argument;
    }

    // Unformatted: only the declaration line ends with a line feed.
    XMLNode::setGlobalOptions(XMLNode::char_encoding_legacy);
    r.addChild("c").addText("t");
    ASSERT_EQ(eXMLErrorNone, r.writeToFile(path.c_str(), nullptr, 0));
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r><c>t</c></r>", readFile(path));
}

TEST_F(XmlWriter, ShapesAndEscapingExactly) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    r.addAttribute("a", "x<\"'&>");
    r.addAttribute("b", nullptr);
    r.addChild("e");
    r.addChild("e").addAttribute("x", "1");
    r.addChild("t").addText("1<2 'q' \"d\"");
    r.addClear("<raw> & \"", "<![CDATA[");
    XMLNode m = r.addChild("m");
    m.addText("hi");
    m.addChild("c");
    r.addChild("p", 1);
    r.addChild("s").addText(" edge\t");

    EXPECT_EQ("<r a=\"x&lt;&quot;&apos;&amp;&gt;\" b>\n"
              "\t<e/>\n"
              "\t<e x=\"1\"/>\n"
              "\t<t>1&lt;2 &apos;q&apos; &quot;d&quot;</t>\n"
              "\t<![CDATA[<raw> & \"]]>\n"
              "\t<m>\n"
              "\t\thi\n"
              "\t\t<c/>\n"
              "\t</m>\n"
              "\t<?p?>\n"
              "\t<s>&#32;edge&#9;</s>\n"
              "</r>\n",
              toString(r, 1));

    std::string flat =
        "<r a=\"x&lt;&quot;&apos;&amp;&gt;\" b><e/><e x=\"1\"/><t>1&lt;2 &apos;q&apos; "
        "&quot;d&quot;</t><![CDATA[<raw> & \"]]><m>hi<c/></m><?p?><s>&#32;edge&#9;</s></r>";
    EXPECT_EQ(flat, toString(r, 0));

    // Without dropWhiteSpace nothing is formatted, and blanks around texts, which the reader then
    // keeps, are written as they are.
    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, 1, 0);
    flat.replace(flat.find("&#32;edge&#9;"), 13, " edge\t");
    EXPECT_EQ(flat, toString(r, 1));
}

TEST_F(XmlWriter, EscapingKeepsMultiByteCharactersWhole) {
    ToXMLStringTool tool;
    EXPECT_STREQ("caf\xC3\xA9 &lt;&amp;&gt;", tool.toXML("caf\xC3\xA9 <&>"));
    EXPECT_EQ(19, ToXMLStringTool::lengthXMLString("caf\xC3\xA9 <&>"));

    // In Shift-JIS a lead byte takes the next byte along, unless that byte is markup; a lead
    // byte at the very end is copied alone, and nothing past the NUL is read.
    XMLNode::setGlobalOptions(XMLNode::char_encoding_ShiftJIS);
    EXPECT_STREQ("\x83\x5C&amp;\x83&lt;a\x83", tool.toXML("\x83\x5C&\x83<a\x83"));
}

TEST_F(XmlWriter, RoundTripsThroughTextInEveryEncodingAndFormat) {
    XMLNode doc = richDocument();
    for (auto encoding : {XMLNode::char_encoding_UTF8, XMLNode::char_encoding_legacy,
                          XMLNode::char_encoding_ShiftJIS, XMLNode::char_encoding_GBK}) {
        XMLNode::setGlobalOptions(encoding);
        for (int format : {1, 0}) {
            std::string text = toString(doc, format);
            XMLResults results;
            XMLNode back = XMLNode::parseString(text.c_str(), nullptr, &results);
            EXPECT_EQ(eXMLErrorNone, results.error) << text;
            expectSameTree(doc, back, "encoding " + std::to_string(encoding));
            EXPECT_EQ(text, toString(back, format));
        }
    }
}

TEST_F(XmlWriter, RoundTripsKeepingWhitespace) {
    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, 1, 0);
    XMLNode doc = richDocument();
    doc.getChildNode("mixed").addText("\n\t");
    std::string text = toString(doc, 1);
    XMLResults results;
    XMLNode back = XMLNode::parseString(text.c_str(), nullptr, &results);
    EXPECT_EQ(eXMLErrorNone, results.error);
    expectSameTree(doc, back);
}

TEST_F(XmlWriter, RoundTripsThroughFiles) {
    XMLNode doc = richDocument();
    std::string path = dir.file("rich.xml");
    for (auto encoding : {XMLNode::char_encoding_UTF8, XMLNode::char_encoding_legacy}) {
        XMLNode::setGlobalOptions(encoding);
        ASSERT_EQ(eXMLErrorNone, doc.writeToFile(path.c_str(), "ISO-8859-1", 1));
        XMLResults results;
        XMLNode back = XMLNode::parseFile(path.c_str(), nullptr, &results);
        ASSERT_EQ(eXMLErrorNone, results.error);
        // The declaration line written before an ordinary root holds it when read back.
        EXPECT_STREQ("xml", back.getName());
        EXPECT_STREQ(encoding == XMLNode::char_encoding_UTF8 ? "utf-8" : "ISO-8859-1",
                     back.getAttribute("encoding"));
        ASSERT_EQ(1, back.nChildNode());
        expectSameTree(doc, back.getChildNode(0));
    }
}

TEST_F(XmlWriter, UnwritablePlacesGiveCode15AndCreateNothing) {
    XMLNode r = XMLNode::createXMLTopNode("r");
    std::string missing = dir.file("no/such/dir/f.xml");
    EXPECT_EQ(eXMLErrorCannotOpenFileForWriting, r.writeToFile(missing.c_str()));
    EXPECT_EQ(eXMLErrorCannotOpenFileForWriting, r.writeToFile(dir.path().c_str()));
    EXPECT_TRUE(fs::is_empty(dir.path()));

    // The empty node writes nothing at all.
    EXPECT_EQ(eXMLErrorNone, XMLNode().writeToFile(dir.file("empty.xml").c_str()));
    EXPECT_FALSE(fs::exists(dir.file("empty.xml")));
}

TEST_F(XmlWriter, FailedWriteGivesCode16) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(eXMLErrorCannotWriteIntoFile,
              XMLNode::createXMLTopNode("r").writeToFile("/dev/full"));
}

TEST_F(XmlWriter, FailedWriteKeepsTheOldFileIntact) {
    std::string path = dir.file("Tavro.xml");
    XMLNode doc = settingsDocument();
    ASSERT_EQ(eXMLErrorNone, doc.writeToFile(path.c_str(), "ISO-8859-1", 1));
    std::string before = readFile(path);

    XMLNode big = settingsDocument();
    big.getChildNode(0).addChild("Padding").addText(std::string(100000, 'x').c_str());

    // Limit the size of files this process may write, so that the write fails midway.
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit small = old;
    small.rlim_cur = 4096;
    auto previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    XMLError result = big.writeToFile(path.c_str(), "ISO-8859-1", 1);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);

    EXPECT_EQ(eXMLErrorCannotWriteIntoFile, result);
    EXPECT_EQ(before, readFile(path));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()))
        << "a temporary file was left behind";
}

TEST_F(XmlWriter, ReplacingKeepsPermissionsAndFollowsLinks) {
    std::string path = dir.file("real.xml"), link = dir.file("link.xml");
    std::ofstream(path) << "old";
    ASSERT_EQ(0, chmod(path.c_str(), 0640));
    ASSERT_EQ(0, symlink(path.c_str(), link.c_str()));

    XMLNode::setGlobalOptions(XMLNode::char_encoding_legacy);
    ASSERT_EQ(eXMLErrorNone, XMLNode::createXMLTopNode("r").writeToFile(link.c_str()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<r/>\n", readFile(path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
}

}  // namespace
