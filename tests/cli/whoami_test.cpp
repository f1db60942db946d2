// vpnctl whoami, run as a program against the demo provider and the loopback test server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/demo_provider.h"
#include "tests/support/run_program.h"
#include "tests/support/test_http_server.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::StartsWith;

// vpnctl gives up on a silent server after its 30 s inactivity time-out.
constexpr auto kRunLimit = 60s;
const std::string kNetworkFailure = "你确定能联网么？错误提示：";

enum class Lookup { DemoProvider, StallingProvider, RefusingPort, MissingPage, NoUrl };

struct WhoamiCase {
    const char* name;
    Lookup lookup;
    std::vector<std::string> extraArgs;
    int exitStatus;
    std::string outStart;  // stdout begins with this
    std::string outPart;   // and holds this
    std::string errPart;   // stderr holds this; empty: stderr stays empty
};

void PrintTo(const WhoamiCase& row, std::ostream* out) {
    *out << row.name;
}

const WhoamiCase kCases[] = {
    {"PrintsTheCenterText",
     Lookup::DemoProvider,
     {},
     0,
     "您的IP是：[127.0.0.1] 来自：本机 演示服务\n",
     "",
     ""},
    {"RefusedIsANetworkFailure", Lookup::RefusingPort, {}, 1, kNetworkFailure, "连接被拒绝", ""},
    {"SilentServerTimesOut", Lookup::StallingProvider, {}, 1, kNetworkFailure, "超时", ""},
    {"MissingPageGoesToStderr", Lookup::MissingPage, {}, 1, "", "", "404"},
    {"StrayArgument", Lookup::NoUrl, {"extra"}, 2, "", "", "Usage: vpnctl whoami"},
    {"OptionWithoutValue", Lookup::NoUrl, {"--lookup-url"}, 2, "", "", "needs a value"},
    {"UnknownOption", Lookup::NoUrl, {"--proxy=x"}, 2, "", "", "unknown option"},
};

class WhoamiTest : public testing::TestWithParam<WhoamiCase> {};

TEST_P(WhoamiTest, PrintsAndExitsAsExpected) {
    const WhoamiCase& row = GetParam();
    std::unique_ptr<test::DemoProvider> provider;
    test::RefusingPort refusing;
    test::TestHttpServer server;
    std::vector<std::string> argv = {VPNCTL_PATH, "whoami"};
    switch (row.lookup) {
        case Lookup::DemoProvider:
            provider = std::make_unique<test::DemoProvider>();
            argv.insert(argv.end(), {"--lookup-url", provider->url("/ip2city.asp")});
            break;
        case Lookup::StallingProvider:
            provider = std::make_unique<test::DemoProvider>(test::DemoProvider::Mode::Stall);
            argv.insert(argv.end(), {"--lookup-url", provider->url("/ip2city.asp")});
            break;
        case Lookup::RefusingPort:
            argv.insert(argv.end(), {"--lookup-url", refusing.url("/ip2city.asp")});
            break;
        case Lookup::MissingPage:
            argv.insert(argv.end(), {"--lookup-url", server.url("/ip2city.asp")});
            break;
        case Lookup::NoUrl:
            break;
    }
    argv.insert(argv.end(), row.extraArgs.begin(), row.extraArgs.end());

    const test::ProgramResult result = test::runProgram(argv, kRunLimit);

    ASSERT_FALSE(result.timedOut) << "vpnctl whoami hung";
    EXPECT_EQ(result.exitStatus, row.exitStatus) << result.out << result.err;
    EXPECT_THAT(result.out, StartsWith(row.outStart));
    EXPECT_THAT(result.out, HasSubstr(row.outPart));
    if (!row.outStart.empty()) {
        EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "exactly one line";
    }
    if (row.errPart.empty()) {
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_THAT(result.err, HasSubstr(row.errPart));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WhoamiTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<WhoamiCase>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
}  // namespace vpn
