#pragma once

#include <cstddef>
#include <future>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace vpn::test {

// A network namespace made for a test ("ip netns add"), deleted with the object. Names are
// "<prefix>-<pid>-<role>", so that removeStaleNamespaces(prefix) can find the leftovers of a
// run that died before it could clean up.
class NetworkNamespace {
public:
    NetworkNamespace(const std::string& prefix, const std::string& role);
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    const std::string& name() const { return name_; }
    // "ip -n NAME WORDS..."; throws std::runtime_error with ip's message when it fails.
    void ip(const std::vector<std::string>& words) const;
    // Sets a sysctl inside the namespace.
    void sysctl(const std::string& key, const std::string& value) const;

    // Runs function on a thread of its own that has joined this namespace, and returns its
    // result (or rethrows its exception). Threads it starts stay in the namespace too.
    template <typename Function>
    std::invoke_result_t<Function&> run(Function function) const {
        std::packaged_task<std::invoke_result_t<Function&>()> task([this, &function] {
            enterOnThisThread();
            return function();
        });
        auto result = task.get_future();
        std::thread(std::move(task)).join();
        return result.get();
    }

private:
    void enterOnThisThread() const;
    std::string name_;
};

// Deletes the namespaces "<prefix>-<pid>-..." whose process no longer exists.
void removeStaleNamespaces(const std::string& prefix);

// The latency probe's test network. The client namespace's loopback answers echoes for all of
// 127.0.0.0/8; a veth link leads to a peer namespace that owns the silent hosts and ignores
// every echo; 198.18.1.0/24 is routed through the peer, which answers "host unreachable".
// Datagram ICMP sockets are refused in the client until allowDatagramSockets().
class EchoTestNetwork {
public:
    static constexpr const char* kUnreachableAddress = "198.18.1.5";

    EchoTestNetwork(const std::string& prefix, std::size_t silentHosts);

    const NetworkNamespace& client() const { return client_; }
    const NetworkNamespace& peer() const { return peer_; }
    // Addresses in the peer that ignore echoes: 198.18.0.10, 198.18.0.11, ...
    const std::vector<std::string>& silentHosts() const { return silentHosts_; }
    // Lets every group open datagram ICMP sockets in the client (net.ipv4.ping_group_range).
    void allowDatagramSockets() const;

private:
    NetworkNamespace peer_;
    NetworkNamespace client_;
    std::vector<std::string> silentHosts_;
};

}  // namespace vpn::test
