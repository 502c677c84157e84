// Reading documents: the forgiving rules, entities and clear items, error codes with their
// lines and columns, files in the various encodings, and the fatal report of openFileHelper.
#include "xmlParser.h"

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class XmlParser : public ::testing::Test {
protected:
    XmlParser() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/xmlparser.XXXXXX";
        dir = mkdtemp(&pattern[0]) ? pattern : "";
    }
    ~XmlParser() override {
        fs::remove_all(dir);
        XMLNode::setGlobalOptions();
    }
    std::string file(const char* name, const std::string& bytes) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string dir;
};

XMLNode parse(const char* text, XMLResults* results) {
    return XMLNode::parseString(text, nullptr, results);
}

std::string flat(const XMLNode& node) {
    char* s = node.createXMLString(0);
    std::string out = s ? s : "(empty)";
    freeXMLString(s);
    return out;
}

// An input, the code it gives with its position, and the document written back on one line.
struct ReadCase {
    const char* text;
    XMLError error;
    int line;
    int column;
    const char* document;
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class XmlParserReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(XmlParserReads, CodePositionAndTree) {
    const ReadCase& c = GetParam();
    XMLResults r;
    XMLNode d = XMLNode::parseString(c.text, nullptr, &r);
    EXPECT_EQ(c.error, r.error);
    EXPECT_EQ(c.line, r.line);
    EXPECT_EQ(c.column, r.column);
    EXPECT_EQ(c.document, flat(d));
}

INSTANTIATE_TEST_SUITE_P(
    ForgivingRules, XmlParserReads,
    ::testing::Values(
        ReadCase{"<a><b>x</b></a>", eXMLErrorNone, 0, 0, "<a><b>x</b></a>"},
        // A declaration at the top level holds the rest; inside an element it closes at once.
        ReadCase{"<?xml version=\"1.0\"?>\n<r/>", eXMLErrorNone, 0, 0,
                 "<?xml version=\"1.0\"?><r/>"},
        ReadCase{"<a><?pi x?><b/></a>", eXMLErrorNone, 0, 0, "<a><?pi x?><b/></a>"},
        // The "?" of "?>" never ends a name or an unquoted value; a quoted value keeps it.
        ReadCase{"<?xml version=1.0 flag ?>", eXMLErrorNone, 0, 0, "<?xml version=\"1.0\" flag?>"},
        ReadCase{"<?pi a=\"why?\"?>", eXMLErrorNone, 0, 0, "<?pi a=\"why?\"?>"},
        // An end tag closes every open element up to the one it names.
        ReadCase{"<a><b><c>t</a>", eXMLWarningUnmatchedEndTag, 1, 11, "<a><b><c>t</c></b></a>"},
        ReadCase{"<r><a><b></a><c/></r>", eXMLWarningUnmatchedEndTag, 1, 10,
                 "<r><a><b/></a><c/></r>"},
        ReadCase{"<a><ab></a>", eXMLWarningUnmatchedEndTag, 1, 8, "<a><ab/></a>"},
        ReadCase{"<a><b></B ></A>", eXMLErrorNone, 0, 0, "<a><b/></a>"},
        ReadCase{"<a></a/x>", eXMLErrorNone, 0, 0, "<a/>"},
        // Elements still open at the end.
        ReadCase{"<a>\n<b>", eXMLWarningUnmatchedEndTag, 2, 4, "<a><b/></a>"},
        ReadCase{"<a b", eXMLWarningUnmatchedEndTag, 1, 5, "<a b/>"},
        // No single root element.
        ReadCase{"  just text ", eXMLWarningNoXMLTagFound, 1, 13, "just text"},
        ReadCase{"", eXMLWarningNoXMLTagFound, 1, 1, ""},
        ReadCase{"<!-- c --><a/><b/>", eXMLErrorNone, 0, 0, "<!-- c --><a/><b/>"},
        // Attributes: quoted either way, unquoted, without value, empty.
        ReadCase{"<a d=\"1\" s='2' u=3 bare e=\"\"/>", eXMLErrorNone, 0, 0,
                 "<a d=\"1\" s=\"2\" u=\"3\" bare e=\"\"/>"},
        // Texts are trimmed, and a comment between two texts goes.
        ReadCase{"<t> a &amp; b </t>", eXMLErrorNone, 0, 0, "<t>a &amp; b</t>"},
        ReadCase{"<t>x<!-- c -->y</t>", eXMLErrorNone, 0, 0, "<t>xy</t>"},
        // Clear items keep their content verbatim.
        ReadCase{"<a><![CDATA[ <b>&amp; ]]><PRE> x < y </PRE><!DOCTYPE html></a>", eXMLErrorNone,
                 0, 0, "<a><![CDATA[ <b>&amp; ]]><PRE> x < y </PRE><!DOCTYPE html></a>"},
        ReadCase{"<!DOCTYPE a [ <!ENTITY e \"v\"> ]><a/>", eXMLErrorNone, 0, 0,
                 "<!DOCTYPE a [ <!ENTITY e \"v\"> ]><a/>"},
        // A lead byte followed by markup is a byte of its own: the end tag is still found.
        ReadCase{"<a>\xC3</a><b/>", eXMLErrorNone, 0, 0, "<a>\xC3</a><b/>"}));

TEST_F(XmlParser, DeclarationNodeHoldsTheRootElement) {
    XMLNode d = XMLNode::parseString("<?xml version=\"1.0\"?>\n<r/>");
    EXPECT_STREQ("xml", d.getName());
    EXPECT_TRUE(d.isDeclaration());
    EXPECT_STREQ("1.0", d.getAttribute("version"));
    ASSERT_EQ(1, d.nChildNode());
    EXPECT_FALSE(d.getChildNode("r").isDeclaration());
}

TEST_F(XmlParser, EntitiesAndCharacterReferences) {
    XMLResults r;
    EXPECT_STREQ("a & b", parse("<t> a &amp; b </t>", &r).getText());
    EXPECT_STREQ("<>\"'&", parse("<t>&LT;&gt;&Quot;&apos;&amp;</t>", &r).getText());
    EXPECT_STREQ("ABCj", parse("<t>&#65;&#x42;&#X43;&#x6A;</t>", &r).getText());
    EXPECT_STREQ("x<y", parse("<t v='x&lt;y'/>", &r).getAttribute("v"));

    // Codes 128..255 are characters, so in UTF-8 they take two bytes.
    EXPECT_STREQ("\xC3\xA9", parse("<t>&#233;</t>", &r).getText());
    XMLNode::setGlobalOptions(XMLNode::char_encoding_legacy);
    EXPECT_STREQ("\xE9", parse("<t>&#xE9;</t>", &r).getText());
}

TEST_F(XmlParser, OptionsKeepCommentsAndWhitespace) {
    XMLResults r;
    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, 1, 1, 0);
    XMLNode t = parse("<t>x<!-- c -->y</t>", &r);
    EXPECT_EQ(2, t.nText());
    EXPECT_STREQ(" c ", t.getClear().value);

    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, 1, 0);
    XMLNode a = parse("<a>\n\t<b> x </b>\n</a>", &r);
    EXPECT_EQ(2, a.nText());
    EXPECT_STREQ("\n\t", a.getText(0));
    EXPECT_STREQ(" x ", a.getChildNode("b").getText());
}

TEST_F(XmlParser, FirstTagSelectsTheDocument) {
    XMLResults r;
    const char* text = "<a><b>1</b><b>2</b></a>";
    EXPECT_STREQ("1", XMLNode::parseString(text, "B", &r).getText());
    EXPECT_STREQ("a", XMLNode::parseString(text, "A", &r).getName());
    EXPECT_STREQ("a", XMLNode::parseString(text, "", &r).getName());
    EXPECT_TRUE(XMLNode::parseString(text, "z", &r).isEmpty());
    EXPECT_EQ(eXMLErrorFirstTagNotFound, r.error);
    EXPECT_EQ(0, r.line);
    EXPECT_EQ(0, r.column);
}

TEST_F(XmlParser, MultiByteCharactersAreNeverSplit) {
    // In Big5, 0xA4 0x5D is one character whose second byte is "]".
    const char* text = "<a><![CDATA[\xA4]]>x]]></a>";
    XMLResults r;
    XMLNode::setGlobalOptions(XMLNode::char_encoding_Big5);
    EXPECT_STREQ("\xA4]]>x", parse(text, &r).getClear().value);
    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8);
    EXPECT_STREQ("\xA4", parse(text, &r).getClear().value);
}

struct ErrorCase {
    const char* text;
    XMLError error;
    int line;
    int column;
};
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class XmlParserErrors : public ::testing::TestWithParam<ErrorCase> {
protected:
    void TearDown() override { XMLNode::setGlobalOptions(); }
};

TEST_P(XmlParserErrors, CodeLineAndColumn) {
    const ErrorCase& c = GetParam();
    XMLResults r;
    XMLNode d = XMLNode::parseString(c.text, nullptr, &r);
    EXPECT_EQ(c.error, r.error) << XMLNode::getError(r.error);
    EXPECT_EQ(c.line, r.line);
    EXPECT_EQ(c.column, r.column);
    EXPECT_TRUE(d.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, XmlParserErrors,
    ::testing::Values(
        ErrorCase{"<a>\n<>", eXMLErrorMissingStartTagName, 2, 2},
        ErrorCase{"<a><\"q\">", eXMLErrorMissingStartTagName, 1, 5},
        ErrorCase{"<a>\n</>", eXMLErrorMissingEndTagName, 2, 3},
        ErrorCase{"<a></a b>", eXMLErrorMissingEndTagName, 1, 8},
        ErrorCase{"<a>\n</b>\n", eXMLErrorUnmatchedEndTag, 2, 1},
        ErrorCase{"</a>", eXMLErrorUnmatchedEndTag, 1, 1},
        ErrorCase{"<ab></a>", eXMLErrorUnmatchedEndTag, 1, 5},
        ErrorCase{"<a>\n  <!-- open</a>", eXMLErrorUnmatchedClearTagEnd, 2, 3},
        ErrorCase{"<a><![CDATA[x]]</a>", eXMLErrorUnmatchedClearTagEnd, 1, 4},
        ErrorCase{"<a =x>", eXMLErrorUnexpectedToken, 1, 4},
        ErrorCase{"<a b=>", eXMLErrorUnexpectedToken, 1, 6},
        ErrorCase{"<a\n b=\"1\" \"c\">", eXMLErrorUnexpectedToken, 2, 8},
        ErrorCase{"<a <!-- x -->>", eXMLErrorUnexpectedToken, 1, 4},
        ErrorCase{"<a>\n\tx &foo; y</a>", eXMLErrorUnknownCharacterEntity, 2, 4},
        ErrorCase{"<a>&#;</a>", eXMLErrorUnknownCharacterEntity, 1, 4},
        ErrorCase{"<a>&#x;</a>", eXMLErrorUnknownCharacterEntity, 1, 4},
        ErrorCase{"<a>&#12</a>", eXMLErrorUnknownCharacterEntity, 1, 4},
        ErrorCase{"<a>&#0;</a>", eXMLErrorUnknownCharacterEntity, 1, 4},
        ErrorCase{"<a>& amp;</a>", eXMLErrorUnknownCharacterEntity, 1, 4},
        ErrorCase{"<a>\xC3\xA9\xC3\xA9&x;</a>", eXMLErrorUnknownCharacterEntity, 1, 6},
        ErrorCase{"<a>&#300;</a>", eXMLErrorCharacterCodeAbove255, 1, 4},
        ErrorCase{"<a v=\"&#x100;\"/>", eXMLErrorCharacterCodeAbove255, 1, 7},
        ErrorCase{"<a>&#99999999999999999999999999;</a>", eXMLErrorCharacterCodeAbove255, 1, 4}));

// An input with an error and no element keeps its error, with its place: the warning "no XML
// tag found" would hand the caller a document made of damaged text.
TEST_F(XmlParser, ErrorsWithoutAnyElementKeepTheirCode) {
    XMLResults r;
    EXPECT_TRUE(parse("&bogus;", &r).isEmpty());
    EXPECT_EQ(eXMLErrorUnknownCharacterEntity, r.error);
    EXPECT_EQ(1, r.line);
    EXPECT_EQ(1, r.column);
    EXPECT_TRUE(parse("text\n &#300; more", &r).isEmpty());
    EXPECT_EQ(eXMLErrorCharacterCodeAbove255, r.error);
    EXPECT_EQ(2, r.line);
    EXPECT_EQ(2, r.column);
    EXPECT_TRUE(parse("x <!-- open", &r).isEmpty());
    EXPECT_EQ(eXMLErrorUnmatchedClearTagEnd, r.error);
    // Without an error, text alone is still the warning, with a document.
    EXPECT_STREQ("fine &", parse("fine &amp;", &r).getText());
    EXPECT_EQ(eXMLWarningNoXMLTagFound, r.error);
}

// The one-line report names the problem as xmllint does, with the file and the line.
struct ReportCase {
    const char* text;
    const char* report;  // after "FILE"
};
void PrintTo(const ReportCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class XmlParserReports : public ::testing::TestWithParam<ReportCase> {};

TEST_P(XmlParserReports, NameTheProblemAndItsLine) {
    XMLResults r;
    XMLNode::parseString(GetParam().text, nullptr, &r);
    char out[600];
    XMLNode::formatParseReport(out, sizeof out, "f.xml", nullptr, r);
    EXPECT_EQ(std::string("f.xml") + GetParam().report, out);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, XmlParserReports,
    ::testing::Values(
        ReportCase{"<?xml version=\"1.0\"?>\n<Quorvel>\n\t<Settings>\n\t\t<D0>70.0<D0>\n"
                   "\t\t<Mx>5.0</Mx>\n\t</Settings>\n</Quorvel>\n",
                   ":6: parser error : Opening and ending tag mismatch: D0 line 4 and Settings\n"},
        ReportCase{"<a>\n<b>\n</c>", ":3: parser error : Opening and ending tag mismatch: b line 2 and c\n"},
        ReportCase{"<r>\n<a>\n<b>\n</a>\n</r>",
                   ":4: parser error : Opening and ending tag mismatch: b line 3 and a\n"},
        ReportCase{"<a>\n  <b>text", ":2: parser error : Premature end of data in tag b line 2\n"},
        ReportCase{"<a>\n<b x='1'", ":2: parser error : Couldn't find end of Start Tag b line 2\n"},
        ReportCase{"<a/>\n</a>", ":2: parser error : Unexpected end tag : a\n"},
        ReportCase{"<a>\n<>", ":2: parser error : StartTag: invalid element name\n"},
        ReportCase{"<a>\n</>", ":2: parser error : EndTag: invalid element name\n"},
        ReportCase{"<a></a b>", ":1: parser error : expected '>' after the end tag name a\n"},
        ReportCase{"<a>\n<!-- open</a>", ":2: parser error : Comment not terminated\n"},
        ReportCase{"<a><![CDATA[x</a>", ":1: parser error : CData section not finished\n"},
        ReportCase{"<a\n =x>", ":2: parser error : attributes construct error in Start Tag a line 1\n"},
        ReportCase{"<a b=>", ":1: parser error : AttValue: \" or ' expected for attribute b\n"},
        ReportCase{"<a>x &bogus; y</a>", ":1: parser error : Entity 'bogus' not defined\n"},
        ReportCase{"<a>x &bog us</a>", ":1: parser error : EntityRef: expecting ';' after '&bog'\n"},
        ReportCase{"<a>x & y</a>", ":1: parser error : xmlParseEntityRef: no name after '&'\n"},
        ReportCase{"<a>&#x4g;</a>", ":1: parser error : invalid character reference '&#x4g;'\n"},
        ReportCase{"<a v='&#300;'/>",
                   ":1: parser error : character reference '&#300;' is above 255, which 8-bit "
                   "text cannot hold\n"},
        ReportCase{"just text", ":1: parser error : Start tag expected, '<' not found\n"},
        ReportCase{" \n ", ":2: parser error : Document is empty\n"}));

TEST_F(XmlParser, ReportsOfFilesAndOfOtherOutcomes) {
    char out[600];
    XMLResults r;
    std::string tags;
    for (int i = 0; i <= XMLNode::maxDepth; ++i) tags += "<a>";
    std::string deep = file("deep.xml", "\n" + tags);
    XMLNode::parseFile(deep.c_str(), nullptr, &r);
    XMLNode::formatParseReport(out, sizeof out, deep.c_str(), nullptr, r);
    EXPECT_EQ(deep + ":2: parser error : Excessive depth in document: more than 1000 nested "
                     "elements\n",
              out);

    std::string missing = dir + "/missing.xml";
    XMLNode::parseFile(missing.c_str(), nullptr, &r);
    XMLNode::formatParseReport(out, sizeof out, missing.c_str(), nullptr, r);
    EXPECT_EQ(missing + ": parser error : cannot open the file: No such file or directory\n", out);

    std::string empty = file("empty.xml", "");
    XMLNode::parseFile(empty.c_str(), nullptr, &r);
    XMLNode::formatParseReport(out, sizeof out, empty.c_str(), nullptr, r);
    EXPECT_EQ(empty + ": parser error : Document is empty\n", out);

    XMLNode::parseString("<a><b/></a>", "zz", &r);
    XMLNode::formatParseReport(out, sizeof out, "t.xml", "zz", r);
    EXPECT_STREQ("t.xml: parser error : First Tag should be 'zz'\n", out);

    // Outcomes that are not the latest parse of the thread get the text of their code.
    XMLResults other = {eXMLWarningUnmatchedEndTag, 7, 3};
    XMLNode::formatParseReport(out, sizeof out, "t.xml", nullptr, other);
    EXPECT_STREQ("t.xml:7: parser error : Unmatched end tag\n", out);
    other = {eXMLErrorUnknownCharacterEntity, 0, 0};
    XMLNode::formatParseReport(out, sizeof out, nullptr, nullptr, other);
    EXPECT_STREQ(": parser error : Unknown character entity\n", out);

    // A long name is cut, and the report never overruns its buffer.
    std::string longName(5000, 'n');
    XMLNode::parseString(("<" + longName + ">").c_str(), nullptr, &r);
    int full = XMLNode::formatParseReport(out, 40, "t.xml", nullptr, r);
    EXPECT_EQ(39u, strlen(out));
    EXPECT_GT(full, 80);
    EXPECT_LT(full, 300);
}

TEST_F(XmlParser, ErrorsWithoutPosition) {
    XMLResults r;
    EXPECT_TRUE(XMLNode::parseString(nullptr, nullptr, &r).isEmpty());
    EXPECT_EQ(eXMLErrorNoElementsFound, r.error);
    EXPECT_EQ(0, r.line);

    std::string missing = dir + "/missing.xml";
    EXPECT_TRUE(XMLNode::parseFile(missing.c_str(), nullptr, &r).isEmpty());
    EXPECT_EQ(eXMLErrorFileNotFound, r.error);
    EXPECT_EQ(0, r.column);

    EXPECT_TRUE(XMLNode::parseFile(file("empty.xml", "").c_str(), nullptr, &r).isEmpty());
    EXPECT_EQ(eXMLErrorNoXMLData, r.error);
    EXPECT_EQ(0, r.line);
    EXPECT_EQ(0, r.column);
}

TEST_F(XmlParser, ByteOrderMarkIsSkippedOnlyWhenGuessing) {
    std::string path = file("bom.xml", "\xEF\xBB\xBF<a>x</a>");
    XMLResults r;
    EXPECT_STREQ("a", XMLNode::parseFile(path.c_str(), nullptr, &r).getName());

    XMLNode::setGlobalOptions(XMLNode::char_encoding_UTF8, 0);
    XMLNode d = XMLNode::parseFile(path.c_str(), nullptr, &r);
    EXPECT_EQ(nullptr, d.getName());
    EXPECT_STREQ("\xEF\xBB\xBF", d.getText());
}

TEST_F(XmlParser, WideCharacterFilesAreConverted) {
    XMLResults r;
    // "<a>é€😀</a>" in UTF-16 (both byte orders, with a mark) and UTF-32 (without one).
    std::u16string u16 = u"<a>\u00e9\u20ac\U0001F600</a>";
    std::string le("\xFF\xFE", 2), be("\xFE\xFF", 2), u32;
    for (char16_t c : u16) {
        le += static_cast<char>(c & 0xFF);
        le += static_cast<char>(c >> 8);
        be += static_cast<char>(c >> 8);
        be += static_cast<char>(c & 0xFF);
    }
    for (char32_t c : std::u32string(U"<a>\u00e9\u20ac\U0001F600</a>"))
        for (int i = 0; i < 4; ++i) u32 += static_cast<char>(c >> (8 * i) & 0xFF);

    for (const std::string& bytes : {le, be, u32}) {
        XMLNode a = XMLNode::parseFile(file("wide.xml", bytes).c_str(), nullptr, &r);
        EXPECT_EQ(eXMLErrorNone, r.error);
        EXPECT_STREQ("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", a.getText());
    }

    // An unpaired surrogate cannot be converted.
    std::string broken = le.substr(0, 8) + std::string("\x00\xD8<\x00", 4);
    EXPECT_TRUE(XMLNode::parseFile(file("bad.xml", broken).c_str(), nullptr, &r).isEmpty());
    EXPECT_EQ(eXMLErrorCharConversion, r.error);
}

TEST_F(XmlParser, GuessingTheEncoding) {
    auto guess = [](const std::string& s, char useAttribute = 1) {
        return XMLNode::guessCharEncoding(s.data(), static_cast<int>(s.size()), useAttribute);
    };
    std::string plain = "<?xml version=\"1.0\"?><a>abc</a>";
    EXPECT_EQ(XMLNode::char_encoding_error, guess("<a>short</a>"));
    EXPECT_EQ(XMLNode::char_encoding_UTF8, guess(plain));
    EXPECT_EQ(XMLNode::char_encoding_UTF8, guess("\xEF\xBB\xBF" + plain));
    EXPECT_EQ(XMLNode::char_encoding_UTF8, guess(plain + "caf\xC3\xA9"));
    EXPECT_EQ(XMLNode::char_encoding_legacy, guess(plain + "caf\xE9 ok"));
    EXPECT_EQ(XMLNode::char_encoding_legacy, guess(plain + "\xC0"));  // never valid in UTF-8
    // A character cut by the end of the buffer decides nothing.
    EXPECT_EQ(XMLNode::char_encoding_UTF8, guess(plain + "\xE2\x82"));

    auto declared = [](const char* name, const char* body = "<a/>") {
        return std::string("<?xml version=\"1.0\" encoding = '") + name + "'?>" + body;
    };
    EXPECT_EQ(XMLNode::char_encoding_UTF8, guess(declared("UTF-8")));
    EXPECT_EQ(XMLNode::char_encoding_error, guess(declared("utf8", "<a>\xE9</a>")));
    EXPECT_EQ(XMLNode::char_encoding_legacy, guess(declared("ISO-8859-1")));
    EXPECT_EQ(XMLNode::char_encoding_ShiftJIS, guess(declared("Shift-JIS")));
    EXPECT_EQ(XMLNode::char_encoding_GB2312, guess(declared("gb2312")));
    EXPECT_EQ(XMLNode::char_encoding_Big5, guess(declared("BIG5")));
    EXPECT_EQ(XMLNode::char_encoding_GBK, guess(declared("GBK")));
    EXPECT_EQ(XMLNode::char_encoding_UTF8, guess(declared("GBK"), 0));
    EXPECT_EQ(XMLNode::char_encoding_error, guess(std::string("<\0\0\0a\0\0\0>\0\0\0x\0\0\0<\0\0\0/\0\0\0a\0\0\0", 28)));
}

TEST_F(XmlParser, OpenFileHelperAdoptsTheFilesEncoding) {
    std::string path = file("latin.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xE9</a>");
    XMLNode d = XMLNode::openFileHelper(path.c_str());
    EXPECT_STREQ("caf\xE9", d.getChildNode("a").getText());
    // Now in single-byte mode, the next write has no byte-order mark.
    std::string out = dir + "/out.xml";
    ASSERT_EQ(eXMLErrorNone, d.writeToFile(out.c_str()));
    std::ifstream in(out, std::ios::binary);
    EXPECT_EQ('<', in.get());
}

// openFileHelper prints its report on standard output; the death tests read standard error.
void openWithStdoutOnStderr(const std::string& path, const char* tag) {
    dup2(2, 1);
    XMLNode::openFileHelper(path.c_str(), tag);
}

TEST_F(XmlParser, OpenFileHelperEndsTheProcessOnWarnings) {
    std::string path = file("warn.xml", "<a>\n<b></a>");
    std::string report = "XML Parsing error inside file '" + path +
                         "'.\nWarning: Unmatched end tag\nAt line 2, column 4.\n";
    EXPECT_EXIT(openWithStdoutOnStderr(path, nullptr), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr(report));
}

TEST_F(XmlParser, OpenFileHelperReportsTheMissingFirstTag) {
    std::string path = file("tag.xml", "<a><b/></a>");
    std::string report = "XML Parsing error inside file '" + path +
                         "'.\nError: First Tag not found\nAt line 0, column 0.\n"
                         "First Tag should be 'zz'.\n";
    EXPECT_EXIT(openWithStdoutOnStderr(path, "zz"), ::testing::ExitedWithCode(255),
                ::testing::HasSubstr(report));
    EXPECT_EXIT(openWithStdoutOnStderr(dir + "/none.xml", nullptr),
                ::testing::ExitedWithCode(255), ::testing::HasSubstr("Error: File not found"));
}

}  // namespace
