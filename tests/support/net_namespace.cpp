#include "tests/support/net_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "tests/support/run_program.h"

namespace vpn::test {
namespace {

constexpr auto kCommandTimeout = std::chrono::seconds(20);
const std::string kIp = "/usr/sbin/ip";
const std::string kSysctl = "/usr/sbin/sysctl";
constexpr std::size_t kMaxSilentHosts = 200;

void runOrThrow(const std::vector<std::string>& argv) {
    const ProgramResult result = runProgram(argv, kCommandTimeout);
    if (result.exitStatus != 0) {
        std::string command;
        for (const std::string& word : argv) {
            command += (command.empty() ? "" : " ") + word;
        }
        throw std::runtime_error(command + " failed: " + result.err);
    }
}

void deleteNamespace(const std::string& name) {
    runProgram({kIp, "netns", "delete", name}, kCommandTimeout);
}

}  // namespace

NetworkNamespace::NetworkNamespace(const std::string& prefix, const std::string& role)
    : name_(prefix + "-" + std::to_string(::getpid()) + "-" + role) {
    deleteNamespace(name_);  // a leftover of a process that had our id
    runOrThrow({kIp, "netns", "add", name_});
    ip({"link", "set", "lo", "up"});
}

NetworkNamespace::~NetworkNamespace() {
    deleteNamespace(name_);
}

void NetworkNamespace::ip(const std::vector<std::string>& words) const {
    std::vector<std::string> argv{kIp, "-n", name_};
    argv.insert(argv.end(), words.begin(), words.end());
    runOrThrow(argv);
}

void NetworkNamespace::sysctl(const std::string& key, const std::string& value) const {
    runOrThrow({kIp, "netns", "exec", name_, kSysctl, "-qw", key + "=" + value});
}

void NetworkNamespace::enterOnThisThread() const {
    const std::string path = "/run/netns/" + name_;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::system_category(), "open " + path);
    }
    const int entered = ::setns(fd, CLONE_NEWNET);
    const int error = errno;
    ::close(fd);
    if (entered != 0) {
        throw std::system_error(error, std::system_category(), "setns " + path);
    }
}

void removeStaleNamespaces(const std::string& prefix) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix + "-", 0) != 0) {
            continue;
        }
        const std::string rest = name.substr(prefix.size() + 1);
        const auto dash = rest.find('-');
        try {
            const pid_t pid = std::stoi(rest.substr(0, dash));
            if (::kill(pid, 0) != 0 && errno == ESRCH) {
                deleteNamespace(name);
            }
        } catch (const std::exception&) {
            // not one of ours
        }
    }
}

EchoTestNetwork::EchoTestNetwork(const std::string& prefix, std::size_t silentHosts)
    : peer_(prefix, "peer"), client_(prefix, "client") {
    if (silentHosts > kMaxSilentHosts) {
        throw std::invalid_argument("too many silent hosts");
    }
    client_.ip(
        {"link", "add", "veth0", "type", "veth", "peer", "name", "veth1", "netns", peer_.name()});
    client_.ip({"address", "add", "198.18.0.1/24", "dev", "veth0"});
    client_.ip({"link", "set", "veth0", "up"});
    client_.ip({"route", "add", "198.18.1.0/24", "via", "198.18.0.2"});
    // A new namespace refuses datagram ICMP sockets ("1 0"); say so, whatever the default.
    client_.sysctl("net.ipv4.ping_group_range", "1 0");

    peer_.ip({"address", "add", "198.18.0.2/24", "dev", "veth1"});
    for (std::size_t i = 0; i < silentHosts; ++i) {
        silentHosts_.push_back("198.18.0." + std::to_string(10 + i));
        peer_.ip({"address", "add", silentHosts_.back() + "/24", "dev", "veth1"});
    }
    peer_.ip({"link", "set", "veth1", "up"});
    peer_.ip({"route", "add", "unreachable", "198.18.1.0/24"});
    peer_.sysctl("net.ipv4.ip_forward", "1");
    peer_.sysctl("net.ipv4.icmp_echo_ignore_all", "1");
}

void EchoTestNetwork::allowDatagramSockets() const {
    client_.sysctl("net.ipv4.ping_group_range", "0 2147483647");
}

}  // namespace vpn::test
