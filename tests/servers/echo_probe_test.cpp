// The latency probe against real hosts: 127.0.0.x answers in a namespace of the test's own,
// silent hosts sit behind a veth link in a second namespace that ignores every echo.

#include "servers/echo_probe.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/net_namespace.h"
#include "tests/support/root_guard.h"

namespace vpn {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::EchoTestNetwork;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

const std::string kNamespacePrefix = "vpnprobe";
constexpr auto kTimeout = std::chrono::milliseconds(kEchoTimeoutMs);
const char* const kRoundTrip = "[0-9]+ms";

enum class SocketKind { Datagram, Raw };

const char* nameOf(SocketKind kind) {
    return kind == SocketKind::Datagram ? "Datagram" : "Raw";
}
void PrintTo(SocketKind kind, std::ostream* out) {
    *out << nameOf(kind);
}

// Takes CAP_NET_RAW from the calling thread only, so that it cannot open a raw socket.
void dropRawSocketCapability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> caps{};
    if (::syscall(SYS_capget, &header, caps.data()) != 0) {
        throw std::system_error(errno, std::system_category(), "capget");
    }
    caps[CAP_TO_INDEX(CAP_NET_RAW)].effective &= ~CAP_TO_MASK(CAP_NET_RAW);
    caps[CAP_TO_INDEX(CAP_NET_RAW)].permitted &= ~CAP_TO_MASK(CAP_NET_RAW);
    if (::syscall(SYS_capset, &header, caps.data()) != 0) {
        throw std::system_error(errno, std::system_category(), "capset");
    }
}

struct ProbeRun {
    std::vector<std::pair<std::size_t, std::string>> calls;  // in the order they came
    Clock::duration elapsed{};

    // Every result given for index, in order.
    std::vector<std::string> resultsFor(std::size_t index) const {
        std::vector<std::string> results;
        for (const auto& [calledIndex, result] : calls) {
            if (calledIndex == index) {
                results.push_back(result);
            }
        }
        return results;
    }
    // Position of the call for index among all calls.
    std::size_t arrival(std::size_t index) const {
        for (std::size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].first == index) {
                return i;
            }
        }
        return calls.size();
    }
};

ProbeRun probe(const std::vector<std::string>& addresses, std::stop_token stop = {},
               const EchoProbe::ResultCallback& alsoTell = {}) {
    ProbeRun run;
    const Clock::time_point start = Clock::now();
    createEchoProbe()->run(
        addresses,
        [&](std::size_t index, const std::string& result) {
            run.calls.emplace_back(index, result);
            if (alsoTell) {
                alsoTell(index, result);
            }
        },
        std::move(stop));
    run.elapsed = Clock::now() - start;
    return run;
}

// The test network, with only one kind of ICMP socket open to the probe: a datagram socket
// (raw sockets taken away) or a raw socket (datagram sockets refused by ping_group_range).
class EchoProbeTest : public ::testing::TestWithParam<SocketKind> {
protected:
    void SetUp() override {
        VPN_REQUIRE_ROOT();
        test::removeStaleNamespaces(kNamespacePrefix);
        network_.emplace(kNamespacePrefix, 2);
        if (GetParam() == SocketKind::Datagram) {
            network_->allowDatagramSockets();
        }
    }

    // Runs function in the client namespace on a thread limited to this test's socket kind.
    template <typename Function>
    auto inClient(Function function) {
        return network_->client().run([&] {
            if (GetParam() == SocketKind::Datagram) {
                dropRawSocketCapability();
            }
            return function();
        });
    }

    const std::string& silent(std::size_t i) const { return network_->silentHosts().at(i); }

    std::optional<EchoTestNetwork> network_;
};

TEST_P(EchoProbeTest, MixedRunGivesEveryAddressOneResultWithinAboutOneTimeOut) {
    const std::vector<std::string> addresses = {
        "127.0.0.1",                           // 0 answers
        "",                                    // 1 no echo, no call
        silent(0),                             // 2 silent
        "127.0.0.2",                           // 3 answers
        "localhost",                           // 4 a host name that answers
        silent(1),                             // 5 silent
        "127.0.0.1",                           // 6 the same host again: its own echo
        EchoTestNetwork::kUnreachableAddress,  // 7 a router answers "host unreachable"
        "no-such-host.invalid",                // 8 does not resolve (no name server here)
        "127.0.0.100",                         // 9 answers
        silent(0),                             // 10 silent, again
    };
    const ProbeRun run = inClient([&] { return probe(addresses); });

    for (const std::size_t answering : {0, 3, 4, 6, 9}) {
        SCOPED_TRACE(addresses[answering]);
        EXPECT_THAT(run.resultsFor(answering), ElementsAre(MatchesRegex(kRoundTrip)));
        // Answers are reported as they come, not held back until the silent hosts time out.
        EXPECT_LT(run.arrival(answering), run.arrival(2));
    }
    for (const std::size_t timedOut : {2, 5, 7, 8, 10}) {
        SCOPED_TRACE(addresses[timedOut]);
        EXPECT_THAT(run.resultsFor(timedOut), ElementsAre(kEchoTimedOut));
    }
    EXPECT_THAT(run.resultsFor(1), ElementsAre());
    EXPECT_EQ(run.calls.size(), addresses.size() - 1);
    // The silent hosts had their full time-out, and they had it together, not one by one.
    EXPECT_GE(run.elapsed, kTimeout);
    EXPECT_LT(run.elapsed, 2 * kTimeout);
}

TEST_P(EchoProbeTest, StopFromAnotherThreadEndsTheRunWithoutFurtherResults) {
    const std::vector<std::string> addresses = {"127.0.0.1", silent(0), silent(1)};
    std::stop_source stopSource;
    std::jthread stopper;
    const ProbeRun run = inClient([&] {
        return probe(addresses, stopSource.get_token(), [&](std::size_t, const std::string&) {
            // As the dialog's OK button does while the silent hosts are still awaited.
            stopper = std::jthread([&stopSource] {
                std::this_thread::sleep_for(200ms);
                stopSource.request_stop();
            });
        });
    });
    ASSERT_EQ(run.calls.size(), 1U);
    EXPECT_EQ(run.calls[0].first, 0U);
    EXPECT_THAT(run.calls[0].second, MatchesRegex(kRoundTrip));
    EXPECT_GE(run.elapsed, 200ms);
    EXPECT_LT(run.elapsed, kTimeout);
}

// A stand-in for the silent peer that does answer, with everything a reply can get wrong:
// it waits for the probe's echoes to `junkTarget` and `goodTarget`, then sends replies that
// must all be ignored, then one correct reply for `goodTarget`.
class ReplyForger {
public:
    // An echo request as it arrived at the peer.
    struct Echo {
        std::string target;
        std::string source;
        std::uint16_t identifier = 0;
        std::uint16_t sequence = 0;
        int ttl = 0;
        std::string payload;
    };

    ReplyForger(std::string junkTarget, std::string goodTarget)
        : junkTarget_(std::move(junkTarget)), goodTarget_(std::move(goodTarget)) {}

    // The echo requests seen, by target.
    const std::map<std::string, Echo>& requests() const { return seen_; }

    // Runs in the peer namespace; `listening` is set once the echoes can be seen.
    void run(std::promise<void>& listening) {
        int watcher = -1;
        try {
            watcher = openRawSocket();
        } catch (const std::system_error&) {
            listening.set_exception(std::current_exception());
            return;
        }
        listening.set_value();
        const Clock::time_point deadline = Clock::now() + 3s;
        while (seen_.size() < 2 && Clock::now() < deadline) {
            if (const auto echo = nextEchoRequest(watcher)) {
                if (echo->target == junkTarget_ || echo->target == goodTarget_) {
                    seen_[echo->target] = *echo;
                }
            }
        }
        ::close(watcher);
        ASSERT_EQ(seen_.size(), 2U) << "the probe's echoes did not reach the peer";
        const Echo junk = seen_[junkTarget_];
        const Echo good = seen_[goodTarget_];
        const std::string payload = kEchoPayload;
        std::string wrongPayload = payload;
        wrongPayload.back() = 'X';

        // From the junk target, with its identifier and sequence unless said otherwise.
        send(junkTarget_, junk.source, packet(0, junk.identifier, junk.sequence, wrongPayload));
        send(junkTarget_, junk.source, packet(0, junk.identifier, junk.sequence, ""));
        send(junkTarget_, junk.source,
             packet(0, junk.identifier, junk.sequence, payload.substr(0, 10)));
        send(junkTarget_, junk.source, packet(8, junk.identifier, junk.sequence, payload));
        send(junkTarget_, junk.source, packet(3, junk.identifier, junk.sequence, payload));
        send(junkTarget_, junk.source,
             packet(0, static_cast<std::uint16_t>(junk.identifier + 1), junk.sequence, payload));
        send(junkTarget_, junk.source, packet(0, good.identifier, good.sequence, payload));
        // From the good target, but answering the junk target's echo.
        send(goodTarget_, junk.source, packet(0, junk.identifier, junk.sequence, payload));
        // Last, the one right answer: when it has been taken, all of the above has been seen.
        send(goodTarget_, good.source, packet(0, good.identifier, good.sequence, payload));
    }

private:
    static int openRawSocket() {
        const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd < 0) {
            throw std::system_error(errno, std::system_category(), "raw socket");
        }
        return fd;
    }

    static std::string addressText(const std::uint8_t* bytes) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, bytes, text, sizeof text);
        return text;
    }

    static std::optional<Echo> nextEchoRequest(int fd) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, 100) <= 0) {
            return std::nullopt;
        }
        std::array<std::uint8_t, 2048> buffer{};
        const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (size < 20) {
            return std::nullopt;
        }
        const std::size_t header = std::size_t{buffer[0] & 0x0FU} * 4;
        if (static_cast<std::size_t>(size) < header + 8 || buffer[header] != 8) {
            return std::nullopt;
        }
        return Echo{addressText(&buffer[16]),
                    addressText(&buffer[12]),
                    static_cast<std::uint16_t>(buffer[header + 4] << 8 | buffer[header + 5]),
                    static_cast<std::uint16_t>(buffer[header + 6] << 8 | buffer[header + 7]),
                    buffer[8],
                    std::string(reinterpret_cast<const char*>(&buffer[header + 8]),
                                static_cast<std::size_t>(size) - header - 8)};
    }

    static std::string packet(std::uint8_t type, std::uint16_t identifier, std::uint16_t sequence,
                              const std::string& payload) {
        std::string bytes = {static_cast<char>(type),
                             0,
                             0,
                             0,
                             static_cast<char>(identifier >> 8),
                             static_cast<char>(identifier & 0xFF),
                             static_cast<char>(sequence >> 8),
                             static_cast<char>(sequence & 0xFF)};
        bytes += payload;
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            const auto high = static_cast<std::uint8_t>(bytes[i]);
            const auto low = i + 1 < bytes.size() ? static_cast<std::uint8_t>(bytes[i + 1]) : 0;
            sum += static_cast<std::uint32_t>(high << 8 | low);
        }
        while (sum >> 16 != 0) {
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        bytes[2] = static_cast<char>((~sum >> 8) & 0xFF);
        bytes[3] = static_cast<char>(~sum & 0xFF);
        return bytes;
    }

    // Sends an ICMP packet from `from` (an address of the peer) to `to`.
    static void send(const std::string& from, const std::string& to, const std::string& bytes) {
        const int fd = openRawSocket();
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        ::inet_pton(AF_INET, to.c_str(), &remote.sin_addr);
        const bool sent =
            ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
            ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&remote),
                     sizeof remote) == static_cast<ssize_t>(bytes.size());
        const int error = errno;
        ::close(fd);
        if (!sent) {
            throw std::system_error(error, std::system_category(), "forged reply");
        }
    }

    std::string junkTarget_;
    std::string goodTarget_;
    std::map<std::string, Echo> seen_;
};

TEST_P(EchoProbeTest, RequestsCarryTheFixedEchoAndMismatchedRepliesAreIgnored) {
    ReplyForger forger(silent(0), silent(1));
    std::promise<void> listening;
    auto forging = std::async(std::launch::async,
                              [&] { network_->peer().run([&] { forger.run(listening); }); });
    listening.get_future().get();

    const ProbeRun run = inClient([&] { return probe({silent(0), silent(1)}); });
    forging.get();

    EXPECT_THAT(run.resultsFor(0), ElementsAre(kEchoTimedOut));
    EXPECT_THAT(run.resultsFor(1), ElementsAre(MatchesRegex(kRoundTrip)));
    // What went out on the wire: the fixed payload without terminator, at the fixed TTL.
    for (const auto& [target, echo] : forger.requests()) {
        EXPECT_EQ(echo.payload, std::string("Test Net - Kelvardin")) << target;
        EXPECT_EQ(echo.ttl, kEchoTtl) << target;
    }
}

INSTANTIATE_TEST_SUITE_P(SocketKinds, EchoProbeTest,
                         ::testing::Values(SocketKind::Datagram, SocketKind::Raw),
                         [](const auto& kind) { return std::string(nameOf(kind.param)); });

// The first IPv4 name server the resolver asks (127.0.0.1 when none is configured), or
// nothing when it is an IPv6 one.
std::optional<std::string> firstNameServer() {
    std::ifstream config("/etc/resolv.conf");
    for (std::string line; std::getline(config, line);) {
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (words >> keyword >> address && keyword == "nameserver") {
            in_addr parsed{};
            if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
                return std::nullopt;
            }
            return address;
        }
    }
    return "127.0.0.1";
}

TEST(EchoProbeNamesTest, NamesWhoseServerNeverAnswersDoNotHoldUpTheRun) {
    VPN_REQUIRE_ROOT();
    const std::optional<std::string> nameServer = firstNameServer();
    if (!nameServer) {
        GTEST_SKIP() << "the first name server in /etc/resolv.conf is not IPv4";
    }
    test::removeStaleNamespaces(kNamespacePrefix);
    const EchoTestNetwork network(kNamespacePrefix, 0);
    // Inside the client namespace the name server's address is ours: a socket that takes
    // every query and answers none, so each lookup waits out the resolver's own time-outs
    // (5 s, twice, by default) and no query leaves the namespace.
    network.client().ip({"address", "add", *nameServer + "/32", "dev", "lo"});
    const int silentServer = network.client().run([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        ::inet_pton(AF_INET, nameServer->c_str(), &address.sin_addr);
        if (fd < 0 ||
            ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::system_error(errno, std::system_category(), "silent name server");
        }
        return fd;
    });

    const std::vector<std::string> addresses = {"slow-a.example", "slow-b.example", "127.0.0.1",
                                                "slow-c.example"};
    const ProbeRun run = network.client().run([&] { return probe(addresses); });
    ::close(silentServer);

    EXPECT_THAT(run.resultsFor(2), ElementsAre(MatchesRegex(kRoundTrip)));
    EXPECT_EQ(run.arrival(2), 0U);
    for (const std::size_t name : {0, 1, 3}) {
        EXPECT_THAT(run.resultsFor(name), ElementsAre(kEchoTimedOut)) << addresses[name];
    }
    // Neither one lookup after another nor waiting for the resolver to give up.
    EXPECT_LT(run.elapsed, 2 * kTimeout);
}

TEST(EchoProbeSetupTest, WithoutAnyIcmpSocketTheRunFailsWithTheReasonAndNoResult) {
    VPN_REQUIRE_ROOT();
    test::removeStaleNamespaces(kNamespacePrefix);
    const test::NetworkNamespace client(kNamespacePrefix, "nosocket");
    client.sysctl("net.ipv4.ping_group_range", "1 0");
    std::vector<std::string> calls;
    const std::string message = client.run([&]() -> std::string {
        dropRawSocketCapability();
        try {
            createEchoProbe()->run(
                {"127.0.0.1"},
                [&](std::size_t, const std::string& result) { calls.push_back(result); }, {});
        } catch (const ProbeSetupError& error) {
            return error.what();
        }
        return "no error";
    });
    EXPECT_THAT(message, ::testing::HasSubstr(std::strerror(EACCES)));  // datagram socket
    EXPECT_THAT(message, ::testing::HasSubstr(std::strerror(EPERM)));   // raw socket
    EXPECT_THAT(calls, ElementsAre());
}

}  // namespace
}  // namespace vpn
