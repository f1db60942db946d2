// vpnctl ping, run as a program: echoes to loopback addresses, and a directory from the
// loopback test server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "servers/echo_probe.h"
#include "tests/support/net_namespace.h"
#include "tests/support/root_guard.h"
#include "tests/support/run_program.h"
#include "tests/support/test_http_server.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::StartsWith;

constexpr auto kRunLimit = 60s;

test::ProgramResult runPing(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {VPNCTL_PATH, "ping"};
    argv.insert(argv.end(), words.begin(), words.end());
    test::ProgramResult result = test::runProgram(argv, kRunLimit);
    EXPECT_FALSE(result.timedOut) << "vpnctl ping hung";
    return result;
}

TEST(PingCommandTest, PrintsEveryAddressWithItsResultInTheGivenOrder) {
    VPN_REQUIRE_ROOT();  // a raw socket, unless ping_group_range admits datagram sockets
    const auto result = runPing({"127.0.0.10", "", "127.0.0.1", "localhost", "127.0.0.1"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // An empty address has no result; the results stand in one column.
    EXPECT_THAT(result.out, MatchesRegex("127\\.0\\.0\\.10  [0-9]+ms\n"
                                         "\n"
                                         "127\\.0\\.0\\.1   [0-9]+ms\n"
                                         "localhost   [0-9]+ms\n"
                                         "127\\.0\\.0\\.1   [0-9]+ms\n"));
}

TEST(PingCommandTest, DirectoryServersAsJsonInDirectoryOrder) {
    VPN_REQUIRE_ROOT();
    test::TestHttpServer server;
    server.serve("/server.txt",
                 test::okResponse("<kavu512>A,127.0.0.3,u,p,t+B,,u,p,t+C,127.0.0.1,u,p,t</kavu512>",
                                  "text/plain"));
    const auto result = runPing({"--directory-url", server.url("/server.txt"), "--json"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_THAT(result.out, MatchesRegex("\\[\n"
                                         "  \\{\"address\": \"127\\.0\\.0\\.3\", \"result\": "
                                         "\"[0-9]+ms\"\\},\n"
                                         "  \\{\"address\": \"\", \"result\": \"\"\\},\n"
                                         "  \\{\"address\": \"127\\.0\\.0\\.1\", \"result\": "
                                         "\"[0-9]+ms\"\\}\n"
                                         "\\]\n"));
}

TEST(PingCommandTest, ProbeThatCannotBeSetUpPrintsTheLogLine) {
    VPN_REQUIRE_ROOT();
    // No datagram ICMP sockets in this namespace, and no capability for raw ones.
    test::removeStaleNamespaces("vpnpingcli");
    const test::NetworkNamespace isolated("vpnpingcli", "nosocket");
    isolated.sysctl("net.ipv4.ping_group_range", "1 0");
    const auto result = test::runProgram(
        {"/usr/sbin/ip", "netns", "exec", isolated.name(), "/usr/bin/setpriv",
         "--inh-caps=-net_raw", "--bounding-set=-net_raw", VPNCTL_PATH, "ping", "127.0.0.1"},
        kRunLimit);
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_THAT(result.out, StartsWith(kProbeSetupFailedPrefix));
    EXPECT_THAT(result.out, HasSubstr("ICMP"));
}

TEST(PingCommandTest, DirectoryDownloadThatFailsPrintsTheLogLine) {
    const test::RefusingPort refusing;
    const auto result = runPing({"--directory-url", refusing.url("/server.txt")});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_THAT(result.out, StartsWith("你确定能联网么？错误提示："));
}

TEST(PingCommandTest, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},                                                       // nothing to ping
        {"--json"},                                               // still nothing
        {"--directory-url", "http://127.0.0.1:1/", "127.0.0.1"},  // both sources
        {"--timeout", "5", "127.0.0.1"},                          // unknown option
        {"127.0.0.1", "--directory-url"},                         // option without its value
    };
    for (const auto& words : cases) {
        const auto result = runPing(words);
        EXPECT_EQ(result.exitStatus, 2) << testing::PrintToString(words);
        EXPECT_THAT(result.err, HasSubstr("Usage: vpnctl ping"));
        EXPECT_EQ(result.out, "");
    }
}

}  // namespace
}  // namespace vpn
