#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vpn::test {

// Which program NetworkManager runs for L2TP connections inside the sandbox.
enum class L2tpPlugin {
    StandIn,  // tests/vpn/nm_stub_l2tp_plugin.py: checks the credentials, brings up a TUN device
    Real,     // the installed network-manager-l2tp, with xl2tpd as the server on the far side
};

struct NmSandboxOptions {
    bool startNetworkManager = true;  // false: a system bus on which nobody offers NetworkManager
    L2tpPlugin plugin = L2tpPlugin::StandIn;
};

// A real NetworkManager on a private system bus, for tests (root only):
//  - two network namespaces joined by a veth pair: the client side, where NetworkManager
//    manages the veth end through an active wired connection with a manual address, and the
//    server side, which holds the VPN gateway address (and xl2tpd for the real plugin);
//  - a dbus-daemon of the system type with an allow-all policy and nothing bus-activated;
//  - NetworkManager in the client namespace and in a mount namespace of its own: a tmpfs on
//    /run, a read-only /sys of that namespace, its state and configuration in a temporary
//    directory, and for the stand-in plugin a plugin directory of ours over
//    /usr/lib/NetworkManager/VPN.
// While it lives, DBUS_SYSTEM_BUS_ADDRESS of this process names the private bus. The destructor
// stops every process of the sandbox (by id, then everything left in its namespaces), deletes
// the namespaces and the temporary directory, and restores the variable. Programs are started
// with argument vectors, never through a shell.
class NmSandbox {
public:
    // Null with `why` set when the sandbox could not be set up; what was started is stopped.
    static std::unique_ptr<NmSandbox> start(const NmSandboxOptions& options, std::string& why);
    ~NmSandbox();
    NmSandbox(const NmSandbox&) = delete;
    NmSandbox& operator=(const NmSandbox&) = delete;

    const std::string& busAddress() const { return busAddress_; }
    // The VPN gateway: the server side's address.
    static const char* serverAddress() { return "10.231.0.2"; }
    // The address the stand-in plugin gives the client end of the tunnel.
    static const char* tunnelAddress() { return "10.232.0.2"; }

    // Where NetworkManager would write profiles to the disk, and its state directory.
    std::filesystem::path keyfileDirectory() const { return root_ / "keyfiles"; }
    std::filesystem::path stateDirectory() const { return root_ / "lib"; }
    // The temporary directory holding all of the sandbox's files.
    const std::filesystem::path& root() const { return root_; }
    // NetworkManager's private /run, seen from outside its mount namespace.
    std::filesystem::path runDirectory() const;
    // The stand-in plugin's directory; its expectations (test data) lie there.
    std::filesystem::path standInDirectory() const { return root_ / "standin"; }

    pid_t networkManagerPid() const { return networkManager_; }
    // Pauses or resumes NetworkManager (to make it stop answering).
    void pauseNetworkManager(bool paused) const;

    // The credentials the stand-in plugin accepts from the next connect on.
    void expectCredentials(const std::string& user, const std::string& password) const;
    // What the stand-in plugin did (one line per event, never a credential).
    std::string standInLog() const;

    // Runs nmcli on the sandbox's bus; false when it failed or timed out.
    bool nmcli(const std::vector<std::string>& arguments, std::string& out) const;

private:
    NmSandbox();
    bool setUp(const NmSandboxOptions& options, std::string& why);
    bool startBus(std::string& why);
    bool startNetworkManager(const NmSandboxOptions& options, std::string& why);
    bool startL2tpServer(std::string& why);
    bool waitForNetworkManager(std::string& why) const;
    void tearDown();

    std::filesystem::path root_;
    std::string clientNamespace_;
    std::string serverNamespace_;
    std::string busAddress_;
    std::string previousBusAddress_;
    bool hadPreviousBusAddress_ = false;
    pid_t bus_ = -1;
    pid_t networkManager_ = -1;
    pid_t l2tpServer_ = -1;
};

}  // namespace vpn::test
