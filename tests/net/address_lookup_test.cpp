#include "net/address_lookup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "net/http_client.h"
#include "tests/support/test_http_server.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;

struct ExtractCase {
    const char* name;
    std::string text;
    std::string open;
    std::string close;
    std::string expected;
};

void PrintTo(const ExtractCase& row, std::ostream* out) {
    *out << row.name;
}

const ExtractCase kExtractCases[] = {
    {"BothMarkersKeepInnerMarkupAndBlanks", "<html><center> <b>IP</b>: 1.2.3.4 </center></html>",
     "<center>", "</center>", " <b>IP</b>: 1.2.3.4 "},
    {"FirstOccurrencesWin", "<center>a</center><center>b</center>", "<center>", "</center>", "a"},
    {"NothingBetween", "<center></center>", "<center>", "</center>", ""},
    {"OnlyClosingMarkerTakesFromPosition8", "0123456789</center>", "<center>", "</center>", "789"},
    {"OnlyClosingMarkerBeforePosition8", "0123</center>", "<center>", "</center>", ""},
    {"NoClosingMarker", "<center>1.2.3.4", "<center>", "</center>", ""},
    {"ClosingBeforeOpening", "</center>1.2.3.4<center>", "<center>", "</center>", ""},
    {"NeitherMarker", "plain text", "<center>", "</center>", ""},
    {"CaseSensitive", "<CENTER>x</CENTER>", "<center>", "</center>", ""},
    // A lone GBK lead byte before '<': '<' is never a second byte, so the marker is found.
    {"MarkerAfterGbkLeadByte", "\x81<center>\xCF\xE3\xB8\xDB</center>", "<center>", "</center>",
     "\xCF\xE3\xB8\xDB"},
    // 0xB0 0x40 is one GBK character: the '@' inside it is no match, the next one is.
    {"NoMatchOnSecondByteOfGbkCharacter", "\xB0@@x#", "@", "#", "x"},
};

class ExtractBetweenTest : public testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractBetweenTest, FollowsThePositionRules) {
    const ExtractCase& row = GetParam();
    EXPECT_EQ(ExtractBetween(row.text, row.open, row.close), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractBetweenTest, testing::ValuesIn(kExtractCases),
                         [](const testing::TestParamInfo<ExtractCase>& row) {
                             return std::string(row.param.name);
                         });

const std::string kCenterUtf8 = "您的IP是：[127.0.0.1] 来自：本机";
const std::string kCenterGbk =
    "\xC4\xFA\xB5\xC4"
    "IP\xCA\xC7\xA3\xBA[127.0.0.1] \xC0\xB4\xD7\xD4\xA3\xBA\xB1\xBE\xBB\xFA";

struct PageCase {
    const char* name;
    std::string body;
    std::string contentType;
    std::string expected;
};

void PrintTo(const PageCase& row, std::ostream* out) {
    *out << row.name;
}

const PageCase kPageCases[] = {
    {"GbkPageDecoded", "<html><body><center>" + kCenterGbk + "</center></body></html>", "text/html",
     kCenterUtf8},
    {"Utf8PageDeclared", "<center>" + kCenterUtf8 + "</center>", "text/html; charset=UTF-8",
     kCenterUtf8},
    {"Utf8PageUndeclared", "<center>" + kCenterUtf8 + "</center>", "text/html", kCenterUtf8},
    // Without the opening marker the old lookup showed the page's bytes from position 8.
    {"NoOpeningMarker", "<html><body>1.2.3.4</center>", "text/html", "Unknown"},
    {"NoMarkers", "<html>1.2.3.4</html>", "text/html", "Unknown"},
    {"EmptyCenter", "<center></center>", "text/html", "Unknown"},
    {"EmptyPage", "", "text/html", "Unknown"},
};

class LookupPageTest : public testing::TestWithParam<PageCase> {};

TEST_P(LookupPageTest, ReturnsTheCenterTextForDisplay) {
    const PageCase& row = GetParam();
    test::TestHttpServer server;
    server.serve("/ip2city.asp", test::okResponse(row.body, row.contentType));
    const auto client = createHttpClient();

    EXPECT_EQ(LookupAddressLocation(*client, server.url("/ip2city.asp")), row.expected);
    EXPECT_TRUE(server.waitForOpenConnections(0, 5s)) << "the client was not disconnected";
}

INSTANTIATE_TEST_SUITE_P(Pages, LookupPageTest, testing::ValuesIn(kPageCases),
                         [](const testing::TestParamInfo<PageCase>& row) {
                             return std::string(row.param.name);
                         });

TEST(LookupAddressLocationTest, DownloadErrorsReachTheCallerWithTheirKind) {
    test::TestHttpServer server;
    const test::RefusingPort refusing;
    const auto client = createHttpClient();

    EXPECT_THROW(LookupAddressLocation(*client, server.url("/missing.asp")), HttpError);
    EXPECT_THROW(LookupAddressLocation(*client, refusing.url("/ip2city.asp")), SocketError);
}

}  // namespace
}  // namespace vpn
