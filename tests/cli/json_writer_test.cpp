#include "cli/json_writer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace vpn::cli {
namespace {

struct EscapeCase {
    const char* what;
    std::string text;
    std::string json;      // jsonString(text)
    std::string terminal;  // escapeControlCharacters(text)
};

TEST(JsonWriterTest, StringsAreEscapedForJsonAndForTheTerminal) {
    const EscapeCase cases[] = {
        {"empty", "", "\"\"", ""},
        {"plain", "127.0.0.1", "\"127.0.0.1\"", "127.0.0.1"},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\"", "a\"b\\c"},
        {"C0 controls and DEL", std::string("\n\t\x01\x1B[31m\x7F", 9),
         "\"\\u000A\\u0009\\u0001\\u001B[31m\\u007F\"", "\\u000A\\u0009\\u0001\\u001B[31m\\u007F"},
        {"NUL", std::string("a\0b", 3), "\"a\\u0000b\"", "a\\u0000b"},
        {"C1 control (CSI)",
         "\xC2\x9B"
         "1m",
         "\"\\u009B1m\"", "\\u009B1m"},
        {"Chinese and four-byte UTF-8", "超时😀", "\"超时😀\"", "超时😀"},
        {"lone invalid byte", "a\xFFz", "\"a\xEF\xBF\xBDz\"", "a\\xFFz"},
        {"truncated sequence", "\xE8\xB6", "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", "\\xE8\\xB6"},
        {"overlong slash", "\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", "\\xC0\\xAF"},
        {"surrogate", "\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"",
         "\\xED\\xA0\\x80"},
    };
    for (const EscapeCase& c : cases) {
        EXPECT_EQ(jsonString(c.text), c.json) << c.what;
        EXPECT_EQ(escapeControlCharacters(c.text), c.terminal) << c.what;
    }
}

TEST(JsonWriterTest, ArrayOfObjectsOnePerLine) {
    std::ostringstream out;
    writeJsonArray(out, {jsonObject({{"address", "127.0.0.1"}, {"result", "0ms"}}),
                         jsonObject({{"address", ""}, {"result", "超时"}})});
    EXPECT_EQ(out.str(),
              "[\n"
              "  {\"address\": \"127.0.0.1\", \"result\": \"0ms\"},\n"
              "  {\"address\": \"\", \"result\": \"超时\"}\n"
              "]\n");
    std::ostringstream empty;
    writeJsonArray(empty, {});
    EXPECT_EQ(empty.str(), "[]\n");
}

}  // namespace
}  // namespace vpn::cli
