// Base64: encoding and decoding of every length and byte value, formatted text, and the
// warnings and errors 17 to 20.
#include "xmlParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(XmlBase64, EncodesKnownVectors) {
    XMLParserBase64Tool tool;
    const unsigned char man[] = "Man";
    EXPECT_STREQ("TWFu", tool.encode(man, 3));
    EXPECT_STREQ("TWE=", tool.encode(man, 2));
    EXPECT_STREQ("TQ==", tool.encode(man, 1));
    EXPECT_STREQ("", tool.encode(man, 0));
}

TEST(XmlBase64, DecodesWithWarningsAndErrors) {
    struct {
        const char* text;
        const char* bytes;  // null when refused
        XMLError error;
    } cases[] = {
        {"TWFu", "Man", eXMLErrorNone},
        {" TW\tE=\r\n", "Ma", eXMLErrorNone},  // blanks are ignored
        {"TWE", "Ma", eXMLWarningBase64LengthNotMultipleOf4},
        {"TQ=", "M", eXMLWarningBase64LengthNotMultipleOf4},
        {"TWFuT", "Man", eXMLWarningBase64Truncated},
        {"TW!u", nullptr, eXMLErrorBase64IllegalCharacter},
        {"TQ==TQ==", nullptr, eXMLErrorBase64IllegalCharacter},
        {"T===", nullptr, eXMLErrorBase64IllegalCharacter},
        {"TQ=A", nullptr, eXMLErrorBase64IllegalCharacter},
        {"TWFu\x80", nullptr, eXMLErrorBase64IllegalCharacter},
    };
    XMLParserBase64Tool tool;
    for (const auto& c : cases) {
        XMLError error = eXMLErrorNoXMLData, sizeError = eXMLErrorNoXMLData;
        int length = -1;
        unsigned char* data = tool.decode(c.text, &length, &error);
        EXPECT_EQ(c.error, error) << c.text;
        XMLParserBase64Tool::decodeSize(c.text, &sizeError);
        EXPECT_EQ(c.error, sizeError) << c.text;
        if (!c.bytes) {
            EXPECT_EQ(nullptr, data) << c.text;
            continue;
        }
        ASSERT_NE(nullptr, data) << c.text;
        EXPECT_EQ(c.bytes, std::string(reinterpret_cast<char*>(data), length)) << c.text;
        EXPECT_EQ(strlen(c.bytes), XMLParserBase64Tool::decodeSize(c.text)) << c.text;
    }
}

TEST(XmlBase64, EveryLengthAndByteValueRoundTrips) {
    std::vector<unsigned char> data(600);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 256);
    XMLParserBase64Tool encoder, decoder;
    for (unsigned length : {0u, 1u, 2u, 3u, 4u, 5u, 53u, 54u, 55u, 256u, 600u}) {
        for (char formatted : {0, 1}) {
            std::string text = encoder.encode(data.data(), length, formatted);
            EXPECT_EQ(static_cast<size_t>(XMLParserBase64Tool::encodeLength(length, formatted)),
                      text.size());
            // Formatted text has a line feed after every 72 characters.
            for (size_t i = 0; i < text.size(); ++i)
                EXPECT_EQ(formatted && i % 73 == 72, text[i] == '\n') << length << " " << i;
            XMLError error;
            int decodedLength = -1;
            unsigned char* back = decoder.decode(text.c_str(), &decodedLength, &error);
            EXPECT_EQ(eXMLErrorNone, error) << length;
            ASSERT_EQ(static_cast<int>(length), decodedLength);
            EXPECT_EQ(0, memcmp(data.data(), back, length));
        }
    }
}

TEST(XmlBase64, CallersBufferMustBeLargeEnough) {
    unsigned char out[4] = {0, 0, 0, 0xEE};
    XMLError error;
    EXPECT_EQ(0, XMLParserBase64Tool::decode("TWFu", out, 2, &error));
    EXPECT_EQ(eXMLErrorBase64OutputBufferTooSmall, error);
    EXPECT_EQ(0, XMLParserBase64Tool::decode("TWE", out, 1, &error));
    EXPECT_EQ(eXMLErrorBase64OutputBufferTooSmall, error);
    EXPECT_EQ(0xEE, out[3]);

    EXPECT_EQ(1, XMLParserBase64Tool::decode("TWFu", out, 3, &error));
    EXPECT_EQ(eXMLErrorNone, error);
    EXPECT_EQ(0, memcmp(out, "Man\xEE", 4));
    EXPECT_EQ(1, XMLParserBase64Tool::decode("TWE", out, 3, &error));  // warnings succeed
    EXPECT_EQ(eXMLWarningBase64LengthNotMultipleOf4, error);
}

}  // namespace
