// vpnctl servers, run as a program against the demo provider and the loopback test server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "net/text_codec.h"
#include "servers/server_list.h"
#include "tests/support/demo_provider.h"
#include "tests/support/run_program.h"
#include "tests/support/test_http_server.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::StartsWith;

constexpr auto kRunLimit = 60s;

test::ProgramResult runServers(const std::string& url, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {VPNCTL_PATH, "servers", "--directory-url", url};
    argv.insert(argv.end(), extra.begin(), extra.end());
    test::ProgramResult result = test::runProgram(argv, kRunLimit);
    EXPECT_FALSE(result.timedOut) << "vpnctl servers hung";
    return result;
}

TEST(ServersCommandTest, DemoProviderDirectoryAsJson) {
    const test::DemoProvider provider;
    const auto result = runServers(provider.url("/server.txt"), {"--json"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_THAT(result.out,
                StartsWith("[\n  {\"location\": \"香港01\", \"server\": \"127.0.0.1\", \"user\": "
                           "\"demo01\", \"password\": \"pass01\", \"availableTime\": "
                           "\"2099-12-31\"},\n"));
    EXPECT_THAT(result.out, HasSubstr("\"澳大利亚悉尼\", \"server\": \"127.0.0.12\""));
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 14);  // [ 12 rows ]
}

// A GBK directory with wide characters, an empty record, a row without a server and a quoted
// record carrying an escape character, which must not reach the terminal as such.
TEST(ServersCommandTest, TableIsAlignedByDisplayWidth) {
    test::TestHttpServer server;
    server.serve("/server.txt",
                 test::okResponse(utf8ToGbk("<kavu512>北京 电信,1.1.1.1,u1,p1,长期有效+"
                                            "+HK,,user2,pass2,2025-01-01+"
                                            "\"x\x1B[31m,3,u,p,t\"+</kavu512>"),
                                  "text/plain"));
    const auto result = runServers(server.url("/server.txt"));
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out,
              "   服务器地理位置  最新服务器  用户名  密码   可用时间\n"
              "1  北京电信        1.1.1.1     u1      p1     长期有效\n"
              "2  HK                          user2   pass2  2025-01-01\n"
              "3  x\\u001B[31m     3           u       p      t\n");
}

TEST(ServersCommandTest, MoreThanATableFullWarnsOnStderr) {
    std::string body;
    for (int i = 0; i < 151; ++i) {
        body += "L,10.0.0." + std::to_string(i % 250) + ",u,p,t+";
    }
    test::TestHttpServer server;
    server.serve("/server.txt", test::okResponse(body, "text/plain"));
    const auto result = runServers(server.url("/server.txt"), {"--json"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, std::string(kTooManyServers) + "\n");
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 152);  // [ 150 rows ]
}

TEST(ServersCommandTest, FailuresPrintWhatTheWindowWouldLogOrAMessage) {
    {
        SCOPED_TRACE("refused: the main window's log line on stdout");
        const test::RefusingPort refusing;
        const auto result = runServers(refusing.url("/server.txt"));
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_THAT(result.out, StartsWith("你确定能联网么？错误提示："));
        EXPECT_EQ(result.err, "");
    }
    {
        SCOPED_TRACE("404: nothing the window shows, a message on stderr");
        const test::TestHttpServer server;
        const auto result = runServers(server.url("/server.txt"));
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_THAT(result.err, HasSubstr("vpnctl: servers: "));
        EXPECT_EQ(server.requests().size(), 2u) << "one retry after a failed GET";
    }
    {
        SCOPED_TRACE("a stray argument is a usage error");
        const auto result = test::runProgram({VPNCTL_PATH, "servers", "extra"}, kRunLimit);
        EXPECT_EQ(result.exitStatus, 2);
        EXPECT_THAT(result.err, HasSubstr("Usage: vpnctl servers"));
    }
}

}  // namespace
}  // namespace vpn
