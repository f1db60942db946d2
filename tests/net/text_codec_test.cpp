#include "net/text_codec.h"

#include <gtest/gtest.h>

#include <string>

namespace vpn {
namespace {

struct DecodeCase {
    const char* name;
    std::string bytes;
    bool declaredUtf8;
    std::string expected;
};

// "香港" in GBK is CF E3 B8 DB; in UTF-8 E9 A6 99 E6 B8 AF.
const DecodeCase kDecodeCases[] = {
    {"ascii stays", "Hong Kong 01", false, "Hong Kong 01"},
    {"gbk decoded", "\xCF\xE3\xB8\xDB", false, "香港"},
    {"valid utf-8 kept", "香港", false, "香港"},
    {"declared utf-8, valid", "香港", true, "香港"},
    {"declared utf-8 but broken: bad bytes replaced, rest kept",
     "a\xFF"
     "b\xE9\xA6",
     true,
     "a\xEF\xBF\xBD"
     "b\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"gbk with a stray byte: replaced, rest decoded", "\xCF\xE3\xFF", false, "香\xEF\xBF\xBD"},
    {"overlong utf-8 is not utf-8", "\xC0\xAF", true, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"surrogate in utf-8 form is not utf-8", "\xED\xA0\x80", true,
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
};

TEST(TextCodecTest, DecodeForDisplay) {
    for (const DecodeCase& c : kDecodeCases) {
        EXPECT_EQ(decodeForDisplay(c.bytes, c.declaredUtf8), c.expected) << c.name;
        EXPECT_TRUE(isValidUtf8(decodeForDisplay(c.bytes, c.declaredUtf8))) << c.name;
    }
}

TEST(TextCodecTest, DeclaresUtf8) {
    EXPECT_TRUE(declaresUtf8("text/plain; charset=UTF-8"));
    EXPECT_TRUE(declaresUtf8("text/html;Charset=\"utf8\""));
    EXPECT_FALSE(declaresUtf8("text/html; charset=GBK"));
    EXPECT_FALSE(declaresUtf8("text/plain"));
}

}  // namespace
}  // namespace vpn
