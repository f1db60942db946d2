// The services module loaded the way the desktop program loads it: this binary, like the
// program, links no HTTP client or dial-up service of its own and exports its symbols.
#include "app/lazy_services.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace vpn {
namespace {

// A loopback port nothing listens on: bound, then closed again.
std::string refusedUrl() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(fd);
    EXPECT_TRUE(bound);
    return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
}

// Two clients load the module at once, each on its own thread, and the module's SocketError is
// caught here by its type.
TEST(LazyServices, ModuleErrorsAreCaughtByTypeWhenLoadedFromTwoThreads) {
    ServicesModule module(VPN_SERVICES_MODULE);
    const std::string url = refusedUrl();
    std::vector<std::string> outcomes(2);
    std::vector<std::thread> threads;
    for (std::string& outcome : outcomes) {
        threads.emplace_back([&module, &url, &outcome] {
            LazyHttpClient client(module, {.connectTimeout = std::chrono::seconds(5)});
            try {
                client.get(url);
                outcome = "no error";
            } catch (const SocketError&) {
                outcome = "SocketError";
            } catch (const std::exception& error) {
                outcome = std::string("other error: ") + error.what();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(outcomes, std::vector<std::string>(2, "SocketError"));
    EXPECT_EQ(module.loadError(), "");
}

TEST(LazyServices, MissingModuleIsReportedNotTakenForANetworkFailure) {
    ServicesModule module("/nonexistent/libvpn-services.so");
    LazyHttpClient client(module);
    try {
        client.get("http://127.0.0.1:1/");
        ADD_FAILURE() << "no error";
    } catch (const SocketError& error) {
        ADD_FAILURE() << "SocketError: " << error.what();
    } catch (const HttpError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("无法加载 VPN 服务模块：", 0), 0u)
            << error.what();
        EXPECT_NE(std::string(error.what()).find("/nonexistent/libvpn-services.so"),
                  std::string::npos);
    }
    client.disconnect();

    LazyDialUpService service(module);
    EXPECT_FALSE(service.writeEntry("entry", {}));
    std::vector<ActiveConnection> connections;
    const std::uint32_t result = service.listConnections(connections);
    EXPECT_NE(result, 0u);
    EXPECT_EQ(service.errorText(result), module.loadError());
    ConnectionHandle handle;
    EXPECT_NE(service.dial("entry", "user", "password", handle), 0u);
    service.hangUp(handle);
    service.deleteEntry("entry");
    EXPECT_EQ(service.unavailableReason(), module.loadError());
    EXPECT_EQ(module.loadError().rfind("无法加载 VPN 服务模块：", 0), 0u);
}

}  // namespace
}  // namespace vpn
