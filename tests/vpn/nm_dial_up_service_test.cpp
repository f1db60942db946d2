// The NetworkManager dial-up back-end against a real NetworkManager in a sandbox of network
// namespaces on a private system bus (tests/vpn/nm_sandbox.h). The success path runs with a
// stand-in L2TP plugin (this kernel has no PPP); the real plugin gives the failure path.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/root_guard.h"
#include "tests/support/run_program.h"
#include "tests/vpn/nm_sandbox.h"
#include "vpn/dial_up_service.h"
#include "vpn/vpn_entry.h"

namespace vpn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::L2tpPlugin;
using test::NmSandbox;

constexpr const char* kUser = "vpn-user-17";
constexpr const char* kPassword = "Pw-6f1c9e-口令-x";
constexpr std::uint32_t kLoginFailed = 10;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Regular files under `top` (symbolic links not followed) that contain `needle`.
std::vector<std::string> filesContaining(const fs::path& top, const std::string& needle,
                                         const fs::path& skipped = {}) {
    std::vector<std::string> found;
    std::error_code error;
    fs::recursive_directory_iterator walk(top, fs::directory_options::skip_permission_denied,
                                          error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (!skipped.empty() && walk->path() == skipped) {
            walk.disable_recursion_pending();
            continue;
        }
        std::error_code statError;
        if (!walk->is_regular_file(statError) || walk->is_symlink(statError))
            continue;
        if (readFile(walk->path()).find(needle) != std::string::npos)
            found.push_back(walk->path());
    }
    return found;
}

// Processes whose command line contains `needle`.
std::vector<std::string> commandLinesContaining(const std::string& needle) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string commandLine = readFile(entry.path() / "cmdline");
        if (commandLine.find(needle) != std::string::npos)
            found.push_back(name + ": " + commandLine);
    }
    return found;
}

bool listed(DialUpService& service, const std::string& entryName,
            ConnectionHandle* handle = nullptr) {
    std::vector<ActiveConnection> actives;
    if (service.listConnections(actives) != 0)
        return false;
    for (const ActiveConnection& active : actives) {
        if (active.entryName == entryName) {
            if (handle)
                *handle = active.handle;
            return true;
        }
    }
    return false;
}

class NmDialUpService : public ::testing::Test {
protected:
    // A sandbox with the stand-in plugin; the service is created once the sandbox's bus is set.
    void SetUp() override {
        VPN_REQUIRE_ROOT();
        std::string why;
        sandbox_ = NmSandbox::start({}, why);
        ASSERT_NE(sandbox_, nullptr) << why;
        service_ = createDialUpService();
    }

    // What nmcli says about the entry's profile, as "field:value" lines.
    std::string profile(const std::string& fields) {
        std::string out;
        sandbox_->nmcli({"--terse", "--show-secrets", "--fields", fields, "connection", "show",
                         "id", kEntryName},
                        out);
        return out;
    }

    int profilesNamed(const std::string& entryName) {
        std::string out;
        sandbox_->nmcli({"--get-values", "NAME", "connection", "show"}, out);
        std::istringstream lines(out);
        int count = 0;
        for (std::string line; std::getline(lines, line);)
            count += line == entryName;
        return count;
    }

    std::uint32_t dialAs(const std::string& password, ConnectionHandle& handle) {
        return service_->dial(kEntryName, kUser, password, handle);
    }

    std::unique_ptr<NmSandbox> sandbox_;
    std::unique_ptr<DialUpService> service_;
};

TEST_F(NmDialUpService, WritesTheEntryAsAnInMemoryL2tpProfile) {
    ASSERT_TRUE(service_->writeEntry(kEntryName, makeVpnEntrySettings("192.0.2.7")));
    ASSERT_TRUE(service_->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));

    EXPECT_EQ(profilesNamed(kEntryName), 1) << "writing again replaces the profile";
    EXPECT_EQ(
        profile("connection.id,connection.type,connection.autoconnect,connection.permissions,"
                "vpn.service-type,vpn.data,vpn.secrets,ipv4.method,ipv4.never-default,ipv6.method"),
        std::string("connection.id:") + kEntryName +
            "\n"
            "connection.type:vpn\n"
            "connection.autoconnect:no\n"
            "connection.permissions:user:root\n"
            "vpn.service-type:org.freedesktop.NetworkManager.l2tp\n"
            "vpn.data:gateway = 10.231.0.2, password-flags = 2, refuse-eap = yes\n"
            "vpn.secrets:\n"
            "ipv4.method:auto\n"
            "ipv4.never-default:no\n"
            "ipv6.method:ignore\n");

    // In memory: under NetworkManager's /run, nothing where it keeps profiles on the disk.
    EXPECT_TRUE(fs::is_empty(sandbox_->keyfileDirectory()));
    EXPECT_TRUE(filesContaining(sandbox_->stateDirectory(), kEntryName).empty());
    EXPECT_EQ(
        filesContaining(sandbox_->runDirectory() / "NetworkManager/system-connections", kEntryName)
            .size(),
        1u);
    EXPECT_EQ(service_->unavailableReason(), "");
}

TEST_F(NmDialUpService, DialBringsTheTunnelUpAndKeepsThePasswordOutOfFilesAndCommandLines) {
    sandbox_->expectCredentials(kUser, kPassword);
    ASSERT_TRUE(service_->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));

    ConnectionHandle handle;
    ASSERT_EQ(dialAs(kPassword, handle), 0u) << sandbox_->standInLog();
    EXPECT_NE(sandbox_->standInLog().find("connect: login ok"), std::string::npos);

    // Up means addressed: the tunnel carries the address the server gave.
    EXPECT_NE(profile("IP4.ADDRESS").find(std::string(NmSandbox::tunnelAddress()) + "/32"),
              std::string::npos);
    // The already-active check of the connect command finds it by name.
    ConnectionHandle found;
    ASSERT_TRUE(listed(*service_, kEntryName, &found));
    EXPECT_EQ(found, handle);

    // The password reached the plugin, yet no file and no command line holds it.
    EXPECT_EQ(filesContaining(sandbox_->root(), kPassword, sandbox_->standInDirectory()),
              std::vector<std::string>{});
    EXPECT_EQ(filesContaining(sandbox_->runDirectory(), kPassword), std::vector<std::string>{});
    EXPECT_EQ(commandLinesContaining(kPassword), std::vector<std::string>{});
    EXPECT_EQ(profile("vpn.secrets"), "vpn.secrets:\n");
}

TEST_F(NmDialUpService, RewritingTheEntryWhileConnectedKeepsTheConnection) {
    sandbox_->expectCredentials(kUser, kPassword);
    ASSERT_TRUE(service_->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));
    ConnectionHandle handle;
    ASSERT_EQ(dialAs(kPassword, handle), 0u) << sandbox_->standInLog();

    // A second connect press rewrites the entry and must then find the connection still up.
    ASSERT_TRUE(service_->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));
    std::this_thread::sleep_for(500ms);
    ConnectionHandle found;
    EXPECT_TRUE(listed(*service_, kEntryName, &found));
    EXPECT_EQ(found, handle);
    EXPECT_EQ(profilesNamed(kEntryName), 1);
    EXPECT_NE(profile("vpn.data").find("refuse-eap = yes"), std::string::npos);
    EXPECT_EQ(profile("vpn.data").find("user ="), std::string::npos) << "no user name is stored";
}

TEST_F(NmDialUpService, HangUpAndDeleteEndTheConnectionAndRemoveTheProfile) {
    sandbox_->expectCredentials(kUser, kPassword);
    ASSERT_TRUE(service_->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));
    ConnectionHandle handle;
    ASSERT_EQ(dialAs(kPassword, handle), 0u) << sandbox_->standInLog();

    service_->hangUp(handle);
    service_->deleteEntry(kEntryName);
    EXPECT_EQ(profilesNamed(kEntryName), 0);
    EXPECT_TRUE(eventually([&] { return !listed(*service_, kEntryName); }));
    EXPECT_TRUE(
        eventually([&] { return sandbox_->standInLog().find("disconnect") != std::string::npos; }));

    // A stale handle, an empty one, and deleting what is gone: all quietly nothing.
    service_->hangUp(handle);
    service_->hangUp("");
    service_->deleteEntry(kEntryName);
    EXPECT_EQ(profilesNamed(kEntryName), 0);
}

TEST_F(NmDialUpService, WrongPasswordFailsAsLoginFailureAndTheNextDialStillWorks) {
    sandbox_->expectCredentials(kUser, kPassword);
    ASSERT_TRUE(service_->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));

    ConnectionHandle handle;
    EXPECT_EQ(dialAs("not-the-password", handle), kLoginFailed);
    EXPECT_EQ(service_->errorText(kLoginFailed), "VPN 登录失败：用户名或密码错误");
    EXPECT_FALSE(handle.empty()) << "the half-open connection is handed back for hanging up";
    service_->hangUp(handle);
    EXPECT_TRUE(eventually([&] { return !listed(*service_, kEntryName); }));

    // The plugin stays alive and reads its expectations afresh; the agent answers again.
    ASSERT_EQ(dialAs(kPassword, handle), 0u) << sandbox_->standInLog();
    EXPECT_TRUE(listed(*service_, kEntryName));
}

TEST_F(NmDialUpService, WithoutANetworkBelowTheDialIsRefused) {
    sandbox_->expectCredentials(kUser, kPassword);
    ASSERT_TRUE(service_->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));
    std::string out;
    ASSERT_TRUE(sandbox_->nmcli({"--wait", "10", "connection", "down", "sandbox-wire"}, out))
        << out;

    ConnectionHandle handle;
    const std::uint32_t code = dialAs(kPassword, handle);
    EXPECT_NE(code, 0u);
    EXPECT_EQ(service_->errorText(code), "没有可用的网络连接，无法拨号 VPN。");
    EXPECT_TRUE(handle.empty());
}

TEST_F(NmDialUpService, DialingAMissingEntryFailsWithItsText) {
    ConnectionHandle handle;
    const std::uint32_t code = dialAs(kPassword, handle);
    EXPECT_NE(code, 0u);
    EXPECT_EQ(service_->errorText(code), "找不到 VPN 连接配置。");
    EXPECT_TRUE(handle.empty());
    service_->deleteEntry(kEntryName);
    EXPECT_EQ(profilesNamed(kEntryName), 0);
}

TEST_F(NmDialUpService, WithoutTheL2tpPluginNothingIsWrittenAndTheReasonSaysSo) {
    const test::ProgramResult result = test::runProgram({NM_WITHOUT_L2TP_PLUGIN}, 60s);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out,
              "not written\n未安装 NetworkManager 的 L2TP 插件（network-manager-l2tp）。\n");
    EXPECT_EQ(profilesNamed(kEntryName), 0);
}

TEST_F(NmDialUpService, NetworkManagerNotAnsweringGivesUpWithAReason) {
    sandbox_->pauseNetworkManager(true);
    const bool written =
        service_->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress()));
    std::vector<ActiveConnection> actives;
    const std::uint32_t code = service_->listConnections(actives);
    const std::string reason = service_->unavailableReason();
    sandbox_->pauseNetworkManager(false);

    EXPECT_FALSE(written);
    EXPECT_NE(code, 0u);
    EXPECT_EQ(service_->errorText(code), "NetworkManager 没有响应。");
    EXPECT_EQ(reason, "NetworkManager 没有响应。");
    // Once it answers again, so does the service.
    EXPECT_EQ(service_->listConnections(actives), 0u);
}

TEST(NmDialUpServiceWithoutNetworkManager, FailsAtOnceWithAClearReason) {
    VPN_REQUIRE_ROOT();
    std::string why;
    auto sandbox = NmSandbox::start({.startNetworkManager = false}, why);
    ASSERT_NE(sandbox, nullptr) << why;

    struct Case {
        const char* what;
        std::string busAddress;
        const char* reason;
    };
    const Case cases[] = {
        {"a bus without NetworkManager", sandbox->busAddress(), "NetworkManager 未运行。"},
        {"no system bus at all", "unix:path=" + (sandbox->root() / "no-such-socket").string(),
         "无法连接系统 D-Bus 总线，找不到 NetworkManager。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", c.busAddress.c_str(), 1);
        auto service = createDialUpService();
        EXPECT_FALSE(
            service->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));
        EXPECT_EQ(service->unavailableReason(), c.reason);
        std::vector<ActiveConnection> actives;
        const std::uint32_t listed = service->listConnections(actives);
        EXPECT_EQ(service->errorText(listed), c.reason);
        ConnectionHandle handle;
        const std::uint32_t dialed = service->dial(kEntryName, kUser, kPassword, handle);
        EXPECT_EQ(service->errorText(dialed), c.reason);
        service->hangUp("/org/freedesktop/NetworkManager/ActiveConnection/1");
        service->deleteEntry(kEntryName);
    }
}

TEST(NmDialUpServiceWithTheRealL2tpPlugin, FailsWithAReasonAndLeavesTheProfileDeletable) {
    VPN_REQUIRE_ROOT();
    std::string why;
    auto sandbox = NmSandbox::start({.plugin = L2tpPlugin::Real}, why);
    ASSERT_NE(sandbox, nullptr) << why;
    auto service = createDialUpService();
    ASSERT_TRUE(service->writeEntry(kEntryName, makeVpnEntrySettings(NmSandbox::serverAddress())));

    // Watch the command lines and NetworkManager's /run while the plugin, xl2tpd and pppd run.
    std::atomic<bool> dialing{true};
    std::vector<std::string> leaks;
    std::thread watcher([&] {
        while (dialing) {
            for (const std::string& leak : commandLinesContaining(kPassword))
                leaks.push_back(leak);
            for (const std::string& leak : filesContaining(sandbox->runDirectory(), kPassword)) {
                leaks.push_back(leak);
            }
            std::this_thread::sleep_for(200ms);
        }
    });
    // xl2tpd answers on the far side, but without PPP in this kernel pppd never comes up.
    ConnectionHandle handle;
    const std::uint32_t code = service->dial(kEntryName, kUser, kPassword, handle);
    dialing = false;
    watcher.join();
    EXPECT_EQ(leaks, std::vector<std::string>{});
    EXPECT_NE(code, 0u);
    // The plugin fails "to start" at once when it dislikes a key of the profile; it got further.
    EXPECT_NE(code, 8u) << "the L2TP plugin refused the profile";
    EXPECT_FALSE(service->errorText(code).empty());
    EXPECT_FALSE(handle.empty());
    service->hangUp(handle);
    service->deleteEntry(kEntryName);
    std::string out;
    sandbox->nmcli({"--get-values", "NAME", "connection", "show"}, out);
    EXPECT_EQ(out.find(kEntryName), std::string::npos);
}

}  // namespace
}  // namespace vpn
