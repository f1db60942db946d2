// vpnctl connect and disconnect as a user runs them in a terminal, against a real
// NetworkManager in a sandbox (tests/vpn/nm_sandbox.h) with the stand-in L2TP plugin.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/demo_provider.h"
#include "tests/support/root_guard.h"
#include "tests/support/run_program.h"
#include "tests/vpn/nm_sandbox.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;
using test::NmSandbox;

constexpr const char* kUser = "cli-user-5";
constexpr const char* kPassword = "Cli-口令-9d2";

test::ProgramResult vpnctl(const std::vector<std::string>& args, const std::string& input = {}) {
    std::vector<std::string> argv = {VPNCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::runProgram(argv, 90s, input);
}

TEST(VpnctlOverNetworkManager, ConnectAgainDisconnectAndAWrongPassword) {
    VPN_REQUIRE_ROOT();
    std::string why;
    const auto sandbox = NmSandbox::start({}, why);
    ASSERT_NE(sandbox, nullptr) << why;
    sandbox->expectCredentials(kUser, kPassword);
    const test::DemoProvider provider;
    const std::vector<std::string> connect = {"connect", NmSandbox::serverAddress(), kUser,
                                              "--lookup-url", provider.url("/ip2city.asp")};
    const std::string address = "您的IP是：[127.0.0.1] 来自：本机 演示服务";

    // The password comes from standard input, with its line end.
    auto result = vpnctl(connect, std::string(kPassword) + "\n");
    EXPECT_EQ(result.exitStatus, 0) << result.err << sandbox->standInLog();
    EXPECT_EQ(result.out, "连接成功。\n" + address + "\n");

    result = vpnctl(connect, std::string(kPassword) + "\n");
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "连接已经激活。\n");

    result = vpnctl({"disconnect"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "断开连接。\n");

    // A refused login: the code and our text, exit 1, and the profile is released again.
    result = vpnctl(connect, "wrong\n");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out, "10 VPN 登录失败：用户名或密码错误\n") << result.err;
    result = vpnctl({"disconnect"});
    EXPECT_EQ(result.out, "断开连接。\n");
}

}  // namespace
}  // namespace vpn
