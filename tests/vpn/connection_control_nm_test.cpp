// The connect and disconnect commands over the NetworkManager back-end, against a real
// NetworkManager in a sandbox (tests/vpn/nm_sandbox.h) with the stand-in L2TP plugin: the
// log lines a user sees for a whole session.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/status_log.h"
#include "tests/support/root_guard.h"
#include "tests/vpn/nm_sandbox.h"
#include "vpn/connection_control.h"
#include "vpn/dial_up_service.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;
using test::NmSandbox;

constexpr const char* kUser = "vpn-user-17";
constexpr const char* kPassword = "Pw-6f1c9e-口令-x";
constexpr const char* kAddress = "10.232.0.2 沙盒";

class RecordingLog : public StatusLog {
public:
    void AddLog(const std::string& line) override { lines.push_back(line); }
    // The lines written since the last call.
    std::vector<std::string> take() { return std::exchange(lines, {}); }
    std::vector<std::string> lines;
};

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

TEST(ConnectionControlOverNetworkManager, ConnectAgainDisconnectThenAWrongPassword) {
    VPN_REQUIRE_ROOT();
    std::string why;
    const auto sandbox = NmSandbox::start({}, why);
    ASSERT_NE(sandbox, nullptr) << why;
    sandbox->expectCredentials(kUser, kPassword);
    const auto service = createDialUpService();
    RecordingLog log;
    ConnectionControl control(*service, log, [] { return std::string(kAddress); });
    const auto activeEntries = [&] {
        std::vector<ActiveConnection> actives;
        service->listConnections(actives);
        int count = 0;
        for (const ActiveConnection& active : actives) {
            count += active.entryName == kEntryName;
        }
        return count;
    };
    const ConnectFields fields{NmSandbox::serverAddress(), kUser, kPassword};

    control.ConnectCommand(fields);
    EXPECT_EQ(log.take(), (std::vector<std::string>{"连接成功。", kAddress}))
        << sandbox->standInLog();
    EXPECT_EQ(activeEntries(), 1);

    // The second press rewrites the profile and must find the tunnel still up.
    control.ConnectCommand(fields);
    EXPECT_EQ(log.take(), std::vector<std::string>{"连接已经激活。"});
    EXPECT_EQ(activeEntries(), 1);

    control.DisconnectCommand();
    EXPECT_EQ(log.take(), std::vector<std::string>{"断开连接。"});
    EXPECT_TRUE(eventually([&] { return activeEntries() == 0; }));
    std::string profiles;
    sandbox->nmcli({"--get-values", "NAME", "connection", "show"}, profiles);
    EXPECT_EQ(profiles.find(kEntryName), std::string::npos) << "the profile is deleted";

    // A refused login: the code and its text, and the half-open connection released.
    control.ConnectCommand({NmSandbox::serverAddress(), kUser, "not-the-password"});
    const std::vector<std::string> failure = log.take();
    ASSERT_EQ(failure.size(), 1u);
    EXPECT_EQ(failure[0], "10 " + service->errorText(10));
    EXPECT_EQ(control.CurrentConnection(), "");
    EXPECT_TRUE(eventually([&] { return activeEntries() == 0; }));
    control.DisconnectCommand();
    EXPECT_EQ(log.take(), std::vector<std::string>{"断开连接。"});
}

}  // namespace
}  // namespace vpn
