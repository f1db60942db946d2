#include "net/http_client.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/root_guard.h"
#include "tests/support/test_http_server.h"

namespace vpn {
namespace {

using namespace std::chrono_literals;
using test::Behaviour;
using test::CannedResponse;
using test::TestHttpServer;
using testing::HasSubstr;

// Inactivity shorter than connect: a stall must not be reported while still connecting.
const HttpLimits kShortLimits{1000ms, 500ms, 4096};
// Slack for a loaded machine on top of a time-out; only a hang or a far too long wait fails.
constexpr auto kSlack = 5s;

enum class Kind { None, Socket, Http, Other };

struct Outcome {
    Kind kind = Kind::None;
    std::string message;
    HttpResponse response;
    std::chrono::steady_clock::duration elapsed{};
};

Outcome attemptGet(HttpClient& client, const std::string& url) {
    Outcome outcome;
    const auto started = std::chrono::steady_clock::now();
    try {
        outcome.response = client.get(url);
    } catch (const SocketError& error) {
        outcome.kind = Kind::Socket;
        outcome.message = error.what();
    } catch (const HttpError& error) {
        outcome.kind = Kind::Http;
        outcome.message = error.what();
    } catch (const std::exception& error) {
        outcome.kind = Kind::Other;
        outcome.message = error.what();
    }
    outcome.elapsed = std::chrono::steady_clock::now() - started;
    return outcome;
}

// Runs `work` on a thread of its own inside a fresh network namespace (nothing but a downed
// loopback) and a private mount namespace with an empty /run (no resolver daemon's socket):
// a name lookup made there cannot send a packet off this machine. Needs root.
Outcome runCutOffFromNetwork(const std::function<Outcome()>& work) {
    Outcome outcome;
    std::thread([&] {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, "size=64k") != 0) {
            outcome.kind = Kind::Other;
            outcome.message = std::string("cannot isolate the thread: ") + std::strerror(errno);
            return;
        }
        outcome = work();
    }).join();
    return outcome;
}

// A listening port whose accept queue is full: the kernel drops further SYNs, so a connect
// to it neither succeeds nor is refused until the client's connect time-out.
class UnansweredConnectPort {
public:
    UnansweredConnectPort() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        listen(listener_, 0);  // room for one pending connection, taken by the filler
        filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        port_ = ntohs(address.sin_port);
    }
    ~UnansweredConnectPort() {
        close(filler_);
        close(listener_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int listener_ = -1;
    int filler_ = -1;
    std::uint16_t port_ = 0;
};

enum class Target { Server, RefusingPort, UnresolvableHost, FullAcceptQueue };

struct FailureCase {
    const char* name;
    Target target;
    CannedResponse response;  // served at /case when the target is the server
    Kind kind;
    const char* messagePart;
};

CannedResponse withBehaviour(Behaviour behaviour, std::string body = "0123456789abcdef") {
    CannedResponse response = test::okResponse(std::move(body));
    response.behaviour = behaviour;
    return response;
}

CannedResponse withStatus(int status) {
    CannedResponse response = test::okResponse("status page");
    response.status = status;
    return response;
}

const FailureCase kFailureCases[] = {
    {"Refused", Target::RefusingPort, {}, Kind::Socket, "连接被拒绝"},
    {"UnresolvableHost", Target::UnresolvableHost, {}, Kind::Socket, "no-such-host.invalid"},
    {"ConnectTimeout", Target::FullAcceptQueue, {}, Kind::Socket, "连接超时"},
    {"StallBeforeHeaders", Target::Server, withBehaviour(Behaviour::StallBeforeHeaders),
     Kind::Socket, "接收数据超时"},
    {"StallMidBody", Target::Server, withBehaviour(Behaviour::StallMidBody), Kind::Socket,
     "接收数据超时"},
    {"ResetMidBody", Target::Server, withBehaviour(Behaviour::ResetMidBody), Kind::Socket,
     "连接被重置"},
    {"ShortBody", Target::Server, withBehaviour(Behaviour::ShortBody), Kind::Http, "提前关闭"},
    {"CloseWithoutAnswer", Target::Server, withBehaviour(Behaviour::CloseWithoutAnswer), Kind::Http,
     "提前关闭"},
    {"NotHttp", Target::Server, withBehaviour(Behaviour::RawBody, "SSH-2.0-OpenSSH_9.2\r\n"),
     Kind::Http, "HTTP 请求失败"},
    {"Redirect302", Target::Server, test::redirectResponse("/elsewhere"), Kind::Http, "302"},
    {"NotFound404", Target::Server, withStatus(404), Kind::Http, "404"},
    {"ServerError500", Target::Server, withStatus(500), Kind::Http, "500"},
    {"BodyOverLimit", Target::Server, test::okResponse(std::string(4097, 'x')), Kind::Http, "4096"},
};

void PrintTo(const FailureCase& row, std::ostream* out) {
    *out << row.name;
}

class HttpFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(HttpFailureTest, EndsWithItsKindWithinItsTimeOut) {
    const FailureCase& row = GetParam();
    if (row.target == Target::UnresolvableHost) {
        VPN_REQUIRE_ROOT();
    }
    TestHttpServer server;
    server.serve("/case", row.response);
    server.serve("/elsewhere", test::okResponse("followed"));
    const test::RefusingPort refusing;
    const UnansweredConnectPort unanswered;
    const auto client = createHttpClient(kShortLimits);

    Outcome outcome;
    switch (row.target) {
        case Target::Server:
            outcome = attemptGet(*client, server.url("/case"));
            break;
        case Target::RefusingPort:
            outcome = attemptGet(*client, refusing.url("/case"));
            break;
        case Target::FullAcceptQueue:
            outcome = attemptGet(*client, unanswered.url());
            break;
        case Target::UnresolvableHost:
            outcome = runCutOffFromNetwork(
                [&] { return attemptGet(*client, "http://no-such-host.invalid/case"); });
            break;
    }

    EXPECT_EQ(outcome.kind, row.kind) << outcome.message;
    EXPECT_THAT(outcome.message, HasSubstr(row.messagePart));
    EXPECT_LT(outcome.elapsed, kShortLimits.connectTimeout + kSlack);
    if (row.target == Target::Server) {
        EXPECT_EQ(server.requests().size(), 1u) << "retried or followed a redirect";
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, HttpFailureTest, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase>& row) {
                             return std::string(row.param.name);
                         });

TEST(HttpClientTest, BodyExactlyAtTheLimitIsAccepted) {
    TestHttpServer server;
    server.serve("/full", test::okResponse(std::string(kShortLimits.maxBodyBytes, 'x')));
    const auto client = createHttpClient(kShortLimits);
    EXPECT_EQ(client->get(server.url("/full")).body.size(), kShortLimits.maxBodyBytes);
}

TEST(HttpClientTest, SendsTheFixedRequestHeaders) {
    TestHttpServer server;
    server.serve("/page?x=1", test::okResponse("hello"));
    const auto client = createHttpClient();
    client->get(server.url("/page?x=1"));

    ASSERT_EQ(server.requests().size(), 1u);
    const std::string head = server.requests()[0];
    EXPECT_THAT(head, testing::StartsWith("GET /page?x=1 HTTP/1.1\r\n"));
    for (const std::string& line :
         {"Host: 127.0.0.1:" + std::to_string(server.port()), std::string("Accept: text/html, */*"),
          std::string("User-Agent: Mozilla/3.0 (compatible; Indy Library)"),
          std::string("Content-Type: text/html")}) {
        EXPECT_THAT(head, HasSubstr("\r\n" + line + "\r\n"));
    }
    EXPECT_THAT(head, testing::Not(HasSubstr("Proxy")));
}

TEST(HttpClientTest, BodyBytesComeBackUnchanged) {
    std::string body;
    for (int round = 0; round < 3; ++round) {
        for (int byte = 0; byte < 256; ++byte) {
            body.push_back(static_cast<char>(byte));
        }
    }
    body += std::string("\0\0\r\n\xB9\xFA\xC4\xDA", 8);  // NULs, CR LF and GBK bytes
    TestHttpServer server;
    server.serve("/bytes", test::okResponse(body, "application/octet-stream"));
    const auto client = createHttpClient();

    const HttpResponse response = client->get(server.url("/bytes"));
    EXPECT_EQ(response.body, body);
    EXPECT_EQ(response.contentType, "application/octet-stream");
}

std::string cookieHeaderOf(const std::string& head) {
    const auto at = head.find("\r\nCookie: ");
    return at == std::string::npos ? "" : head.substr(at + 10, head.find("\r\n", at + 2) - at - 10);
}

TEST(HttpClientTest, KeepsCookiesForItsLifeAcrossDisconnect) {
    TestHttpServer server;
    CannedResponse setsCookie = test::okResponse("welcome");
    setsCookie.headers.emplace_back("Set-Cookie", "session=abc123; Path=/");
    server.serve("/login", setsCookie);
    server.serve("/next", test::okResponse("next"));

    const auto client = createHttpClient();
    client->get(server.url("/login"));
    client->get(server.url("/next"));
    client->disconnect();
    client->get(server.url("/next"));
    createHttpClient()->get(server.url("/next"));  // a new client starts without cookies

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(cookieHeaderOf(requests[0]), "");
    EXPECT_EQ(cookieHeaderOf(requests[1]), "session=abc123");
    EXPECT_EQ(cookieHeaderOf(requests[2]), "session=abc123");
    EXPECT_EQ(cookieHeaderOf(requests[3]), "");
}

// Sets environment variables for one test and puts the old values back.
class ScopedEnvironment {
public:
    void set(const char* name, const std::string& value) {
        remember(name);
        setenv(name, value.c_str(), 1);
    }
    void unset(const char* name) {
        remember(name);
        unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

private:
    void remember(const char* name) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(HttpClientTest, IgnoresProxySettingsOfTheEnvironment) {
    TestHttpServer proxy;
    TestHttpServer server;
    server.serve("/direct", test::okResponse("direct"));
    ScopedEnvironment environment;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        environment.set(name, proxy.url(""));
    }
    environment.unset("no_proxy");
    environment.unset("NO_PROXY");

    const auto client = createHttpClient(kShortLimits);
    EXPECT_EQ(client->get(server.url("/direct")).body, "direct");
    EXPECT_EQ(proxy.connectionCount(), 0);
}

TEST(HttpClientTest, ReusesTheConnectionUntilDisconnect) {
    TestHttpServer server;
    server.serve("/a", test::okResponse("a"));
    const auto client = createHttpClient();

    client->get(server.url("/a"));
    client->get(server.url("/a"));
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_EQ(server.openConnectionCount(), 1);

    client->disconnect();
    EXPECT_TRUE(server.waitForOpenConnections(0, 5s)) << "disconnect() left the connection open";
    client->disconnect();  // nothing open: harmless

    client->get(server.url("/a"));
    EXPECT_EQ(server.connectionCount(), 2);
}

}  // namespace
}  // namespace vpn
