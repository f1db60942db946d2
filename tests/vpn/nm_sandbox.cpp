#include "tests/vpn/nm_sandbox.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/run_program.h"

namespace vpn::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kIp = "/usr/bin/ip";
constexpr const char* kNmcli = "/usr/bin/nmcli";
constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kNetworkManager = "/usr/sbin/NetworkManager";
constexpr const char* kXl2tpd = "/usr/sbin/xl2tpd";
constexpr const char* kPluginDirectory = "/usr/lib/NetworkManager/VPN";
constexpr const char* kL2tpNameFile = "nm-l2tp-service.name";

// Names of namespaces and temporary directories: the prefix, then the owner's process id.
constexpr const char* kNamespacePrefix = "vpnnm-";
constexpr const char* kDirectoryPrefix = "vpn-nm-sandbox-";
constexpr const char* kClientDevice = "nmclient0";
constexpr const char* kServerDevice = "nmserver0";
constexpr const char* kClientCidr = "10.231.0.1/24";
constexpr const char* kServerCidr = "10.231.0.2/24";
constexpr const char* kTunnelDevice = "nmtun0";
constexpr const char* kTunnelPeer = "10.232.0.1";

std::atomic<int> sandboxSerial{0};

bool writeFile(const fs::path& path, const std::string& text, mode_t mode = 0644) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return out.good() && chmod(path.c_str(), mode) == 0;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

bool run(const std::vector<std::string>& argv, std::string& why) {
    const ProgramResult result = runProgram(argv, 20s);
    if (result.exitStatus == 0)
        return true;
    why = argv[0];
    for (std::size_t i = 1; i < argv.size(); ++i)
        why += " " + argv[i];
    why += result.timedOut ? ": timed out" : ": failed: " + result.err;
    return false;
}

// One mount a daemon's private mount namespace gets before the program starts.
struct MountStep {
    std::string source;
    std::string target;
    std::string type;
    unsigned long flags;
    bool detachFirst;  // unmount what is there first (a /sys of the wrong network namespace)
};

[[noreturn]] void childFails(int logFd, const char* what) {
    const char* reason = std::strerror(errno);
    (void)!write(logFd, what, std::strlen(what));
    (void)!write(logFd, ": ", 2);
    (void)!write(logFd, reason, std::strlen(reason));
    (void)!write(logFd, "\n", 1);
    _exit(127);
}

// Starts a daemon in the network namespace at `namespacePath`, optionally in a mount namespace
// of its own prepared by `mounts`, with stdout and stderr going to `logPath`. The daemon gets
// SIGKILL should this thread end without stopping it. Between fork and exec the child makes
// only system calls: this process has other threads.
pid_t spawnDaemon(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                  const std::string& namespacePath, const std::vector<MountStep>* mounts,
                  const fs::path& logPath, std::string& why) {
    std::vector<char*> words;
    for (const std::string& word : argv)
        words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    std::vector<char*> variables;
    for (const std::string& variable : environment)
        variables.push_back(const_cast<char*>(variable.c_str()));
    variables.push_back(nullptr);

    const int namespaceFd = open(namespacePath.c_str(), O_RDONLY | O_CLOEXEC);
    const int logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (namespaceFd < 0 || logFd < 0 || nullFd < 0) {
        why = "cannot open the namespace or the log for " + argv[0] + ": " + std::strerror(errno);
        for (const int fd : {namespaceFd, logFd, nullFd}) {
            if (fd >= 0)
                close(fd);
        }
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(127);
        if (setns(namespaceFd, CLONE_NEWNET) != 0)
            childFails(logFd, "setns");
        if (mounts) {
            if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0)
                childFails(logFd, "unshare");
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                childFails(logFd, "mount --make-rprivate /");
            }
            for (const MountStep& step : *mounts) {
                if (step.detachFirst)
                    umount2(step.target.c_str(), MNT_DETACH);
                if (mount(step.source.c_str(), step.target.c_str(),
                          step.type.empty() ? nullptr : step.type.c_str(), step.flags,
                          nullptr) != 0) {
                    childFails(logFd, step.target.c_str());
                }
            }
        }
        if (dup2(nullFd, 0) < 0 || dup2(logFd, 1) < 0 || dup2(logFd, 2) < 0)
            childFails(logFd, "dup2");
        execve(words[0], words.data(), variables.data());
        childFails(logFd, words[0]);
    }
    const int forkErrno = errno;
    close(namespaceFd);
    close(logFd);
    close(nullFd);
    if (pid < 0)
        why = std::string("fork: ") + std::strerror(forkErrno);
    return pid;
}

// Waits for a child of ours to end within `limit`; SIGKILL and reaping after that. One that
// was reaped already is left alone (its number may belong to another process by now).
void stopChild(pid_t pid, int signal, std::chrono::milliseconds limit) {
    if (pid <= 0 || waitpid(pid, nullptr, WNOHANG) != 0)
        return;
    kill(pid, signal);
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        const pid_t done = waitpid(pid, nullptr, WNOHANG);
        if (done == pid || (done < 0 && errno == ECHILD))
            return;
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool sameInode(const char* a, const struct stat& b) {
    struct stat info {};
    return stat(a, &info) == 0 && info.st_ino == b.st_ino && info.st_dev == b.st_dev;
}

// Every process whose network namespace is the named one.
std::vector<pid_t> processesIn(const std::string& namespaceName) {
    std::vector<pid_t> found;
    struct stat target {};
    const std::string path = "/run/netns/" + namespaceName;
    if (stat(path.c_str(), &target) != 0)
        return found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (sameInode((entry.path() / "ns/net").c_str(), target))
            found.push_back(std::stoi(name));
    }
    return found;
}

char processState(pid_t pid, pid_t& parent) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return '\0';
    std::istringstream rest(stat.substr(close + 2));
    char state = '\0';
    rest >> state >> parent;
    return state;
}

// Processes of the sandbox whose parent ended become ours (we are their subreaper); reap the
// ones that ended, so no zombie stays behind.
void reapOrphans() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = std::stoi(name);
        pid_t parent = 0;
        if (processState(pid, parent) == 'Z' && parent == getpid())
            waitpid(pid, nullptr, WNOHANG);
    }
}

// Kills everything in the namespace and waits (bounded) until it is gone.
void emptyNamespace(const std::string& namespaceName) {
    const std::vector<pid_t> pids = processesIn(namespaceName);
    for (const pid_t pid : pids)
        kill(pid, SIGKILL);
    const auto deadline = Clock::now() + 5s;
    for (const pid_t pid : pids) {
        while (Clock::now() < deadline) {
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break;
            pid_t parent = 0;
            const char state = processState(pid, parent);
            if (state == '\0' || (state == 'Z' && parent != getpid()))
                break;
            std::this_thread::sleep_for(10ms);
        }
    }
}

void deleteNamespace(const std::string& namespaceName) {
    emptyNamespace(namespaceName);
    std::string ignored;
    run({kIp, "netns", "delete", namespaceName}, ignored);
}

bool processEnded(pid_t pid) {
    pid_t parent = 0;
    const char state = processState(pid, parent);
    return state == '\0' || state == 'Z';
}

// What a sandbox whose process died without cleaning up (a crash, a kill -9) left behind: its
// namespaces and its temporary directory, both named after that process.
void removeAbandonedSandboxes() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/run/netns", error)) {
        const std::string name = entry.path().filename();
        if (name.rfind(kNamespacePrefix, 0) != 0)
            continue;
        const pid_t owner = std::atoi(name.c_str() + std::strlen(kNamespacePrefix));
        if (owner > 0 && processEnded(owner))
            deleteNamespace(name);
    }
    for (const auto& entry : fs::directory_iterator("/tmp", error)) {
        const std::string name = entry.path().filename();
        if (name.rfind(kDirectoryPrefix, 0) != 0)
            continue;
        const pid_t owner = std::atoi(name.c_str() + std::strlen(kDirectoryPrefix));
        std::error_code ignored;
        if (owner > 0 && processEnded(owner))
            fs::remove_all(entry.path(), ignored);
    }
}

std::string busConfig(const fs::path& socket) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>system</type>\n"
           "  <listen>unix:path=" +
           socket.string() +
           "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_type=\"method_call\"/>\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow receive_sender=\"*\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

std::string networkManagerConfig(const fs::path& keyfiles) {
    return std::string(
               "[main]\n"
               "plugins=keyfile\n"
               "auth-polkit=false\n"
               "dhcp=internal\n"
               "dns=none\n"
               "rc-manager=unmanaged\n"
               "hostname-mode=none\n"
               "no-auto-default=*\n"
               "\n"
               "[keyfile]\n"
               "path=") +
           keyfiles.string() +
           "\n"
           "unmanaged-devices=*,except:interface-name:" +
           kClientDevice +
           "\n"
           "\n"
           "[connectivity]\n"
           "enabled=false\n";
}

}  // namespace

NmSandbox::NmSandbox() = default;

std::unique_ptr<NmSandbox> NmSandbox::start(const NmSandboxOptions& options, std::string& why) {
    std::unique_ptr<NmSandbox> sandbox(new NmSandbox());
    if (!sandbox->setUp(options, why))
        return nullptr;  // the destructor stops what started
    return sandbox;
}

NmSandbox::~NmSandbox() {
    tearDown();
}

bool NmSandbox::setUp(const NmSandboxOptions& options, std::string& why) {
    if (geteuid() != 0) {
        why = "needs root";
        return false;
    }
    for (const char* program : {kIp, kNmcli, kDbusDaemon, kNetworkManager, kXl2tpd}) {
        if (access(program, X_OK) != 0) {
            why = std::string(program) + " is missing (scripts/install-deps.sh installs it)";
            return false;
        }
    }
    removeAbandonedSandboxes();
    // Processes NetworkManager starts outlive their parents (its plugins double-fork): let them
    // become our children, so that we can reap them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::string pattern =
        "/tmp/" + std::string(kDirectoryPrefix) + std::to_string(getpid()) + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        why = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    root_ = pattern;
    for (const char* directory : {"keyfiles", "lib", "conf.d", "system-conf.d", "logs"}) {
        fs::create_directory(root_ / directory);
    }

    const std::string prefix = std::string(kNamespacePrefix) + std::to_string(getpid()) + "-" +
                               std::to_string(sandboxSerial++);
    clientNamespace_ = prefix + "-c";
    serverNamespace_ = prefix + "-s";
    if (!run({kIp, "netns", "add", clientNamespace_}, why) ||
        !run({kIp, "netns", "add", serverNamespace_}, why) ||
        !run({kIp, "link", "add", kClientDevice, "netns", clientNamespace_, "type", "veth", "peer",
              "name", kServerDevice, "netns", serverNamespace_},
             why) ||
        !run({kIp, "-n", serverNamespace_, "address", "add", kServerCidr, "dev", kServerDevice},
             why) ||
        !run({kIp, "-n", serverNamespace_, "link", "set", kServerDevice, "up"}, why) ||
        !run({kIp, "-n", serverNamespace_, "link", "set", "lo", "up"}, why) ||
        !run({kIp, "-n", clientNamespace_, "link", "set", "lo", "up"}, why)) {
        return false;
    }

    if (!startBus(why))
        return false;
    if (!options.startNetworkManager)
        return true;
    if (options.plugin == L2tpPlugin::Real && !startL2tpServer(why))
        return false;
    if (!startNetworkManager(options, why) || !waitForNetworkManager(why))
        return false;

    // A VPN needs an active connection below it: the veth, with a manual address.
    std::string out;
    if (!nmcli({"connection",    "add",         "type",           "ethernet",    "ifname",
                kClientDevice,   "con-name",    "sandbox-wire",   "autoconnect", "no",
                "ipv4.method",   "manual",      "ipv4.addresses", kClientCidr,   "ipv4.gateway",
                serverAddress(), "ipv6.method", "ignore",         "save",        "no"},
               out) ||
        !nmcli({"--wait", "15", "connection", "up", "sandbox-wire"}, out)) {
        why = "the sandbox's wired connection did not come up: " + out;
        return false;
    }
    return true;
}

bool NmSandbox::startBus(std::string& why) {
    const fs::path socket = root_ / "system_bus_socket";
    const fs::path config = root_ / "bus.conf";
    if (!writeFile(config, busConfig(socket))) {
        why = "cannot write " + config.string();
        return false;
    }
    bus_ = spawnDaemon({kDbusDaemon, "--config-file=" + config.string(), "--nofork", "--nopidfile"},
                       {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, "/run/netns/" + clientNamespace_,
                       nullptr, root_ / "logs/dbus-daemon.log", why);
    if (bus_ < 0)
        return false;
    busAddress_ = "unix:path=" + socket.string();

    const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    hadPreviousBusAddress_ = previous != nullptr;
    if (previous)
        previousBusAddress_ = previous;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);

    const auto deadline = Clock::now() + 10s;
    while (!fs::exists(socket)) {
        if (Clock::now() > deadline || waitpid(bus_, nullptr, WNOHANG) == bus_) {
            why = "dbus-daemon did not start: " + readFile(root_ / "logs/dbus-daemon.log");
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool NmSandbox::startNetworkManager(const NmSandboxOptions& options, std::string& why) {
    if (!writeFile(root_ / "NetworkManager.conf", networkManagerConfig(keyfileDirectory()))) {
        why = "cannot write NetworkManager.conf";
        return false;
    }
    std::vector<MountStep> mounts = {
        {"tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, false},
        // NetworkManager sees the devices of its network namespace in /sys; read-only, it does
        // not wait for udev to announce them.
        {"sysfs", "/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, true},
        {stateDirectory().string(), "/var/lib/NetworkManager", "", MS_BIND, false},
    };
    if (options.plugin == L2tpPlugin::StandIn) {
        const fs::path plugins = root_ / "vpn-plugins";
        const fs::path standIn = standInDirectory() / "nm_stub_l2tp_plugin.py";
        fs::create_directory(plugins);
        fs::create_directory(standInDirectory());
        std::error_code error;
        fs::copy_file(NM_STUB_PLUGIN_SOURCE, standIn, fs::copy_options::overwrite_existing, error);
        if (error || chmod(standIn.c_str(), 0755) != 0) {
            why = "cannot copy the stand-in plugin: " + error.message();
            return false;
        }
        // The installed description with our program in place of the real one.
        std::istringstream installed(readFile(fs::path(kPluginDirectory) / kL2tpNameFile));
        std::string description;
        for (std::string line; std::getline(installed, line);) {
            description +=
                (line.rfind("program=", 0) == 0 ? "program=" + standIn.string() : line) + "\n";
        }
        if (description.find("program=") == std::string::npos ||
            !writeFile(plugins / kL2tpNameFile, description)) {
            why = "no usable " + std::string(kL2tpNameFile) + " in " + kPluginDirectory +
                  " (network-manager-l2tp installed?)";
            return false;
        }
        expectCredentials("", "");
        mounts.push_back({plugins.string(), kPluginDirectory, "", MS_BIND, false});
    }
    const fs::path root = root_;
    networkManager_ = spawnDaemon(
        {kNetworkManager, "--no-daemon", "--config=" + (root / "NetworkManager.conf").string(),
         "--config-dir=" + (root / "conf.d").string(),
         "--system-config-dir=" + (root / "system-conf.d").string(),
         "--intern-config=" + (root / "NetworkManager-intern.conf").string(),
         "--state-file=" + (root / "NetworkManager.state").string()},
        {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8",
         "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_},
        "/run/netns/" + clientNamespace_, &mounts, root / "logs/NetworkManager.log", why);
    return networkManager_ > 0;
}

bool NmSandbox::startL2tpServer(std::string& why) {
    const fs::path directory = root_ / "xl2tpd";
    fs::create_directory(directory);
    const std::string config = std::string("[global]\n") + "listen-addr = " + serverAddress() +
                               "\n"
                               "port = 1701\n"
                               "access control = no\n"
                               "\n"
                               "[lns default]\n"
                               "ip range = 10.233.0.10-10.233.0.20\n"
                               "local ip = 10.233.0.1\n"
                               "require authentication = no\n"
                               "length bit = yes\n"
                               "pppoptfile = " +
                               (directory / "ppp-options").string() + "\n";
    if (!writeFile(directory / "xl2tpd.conf", config) ||
        !writeFile(directory / "ppp-options", "noauth\nnodefaultroute\n")) {
        why = "cannot write the xl2tpd configuration";
        return false;
    }
    l2tpServer_ = spawnDaemon(
        {kXl2tpd, "-D", "-c", (directory / "xl2tpd.conf").string(), "-p",
         (directory / "xl2tpd.pid").string(), "-C", (directory / "l2tp-control").string()},
        {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}, "/run/netns/" + serverNamespace_, nullptr,
        root_ / "logs/xl2tpd.log", why);
    return l2tpServer_ > 0;
}

bool NmSandbox::waitForNetworkManager(std::string& why) const {
    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        busAddress_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) {
        why = std::string("cannot reach the sandbox's bus: ") + error->message;
        g_error_free(error);
        return false;
    }
    bool answered = false;
    const auto deadline = Clock::now() + 20s;
    while (!answered && Clock::now() < deadline) {
        if (waitpid(networkManager_, nullptr, WNOHANG) == networkManager_)
            break;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", "org.freedesktop.NetworkManager"),
            G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
        if (reply) {
            gboolean owned = FALSE;
            g_variant_get(reply, "(b)", &owned);
            g_variant_unref(reply);
            answered = owned;
        }
        if (!answered)
            std::this_thread::sleep_for(50ms);
    }
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    if (!answered) {
        why = "NetworkManager did not come up: " + readFile(root_ / "logs/NetworkManager.log");
    }
    return answered;
}

std::filesystem::path NmSandbox::runDirectory() const {
    return fs::path("/proc") / std::to_string(networkManager_) / "root/run";
}

void NmSandbox::pauseNetworkManager(bool paused) const {
    if (networkManager_ > 0)
        kill(networkManager_, paused ? SIGSTOP : SIGCONT);
}

void NmSandbox::expectCredentials(const std::string& user, const std::string& password) const {
    const std::string expectations =
        "{\"user\": " + jsonString(user) + ", \"password\": " + jsonString(password) +
        ", \"tundev\": \"" + kTunnelDevice + "\", \"gateway\": \"" + serverAddress() +
        "\", \"address\": \"" + tunnelAddress() + "\", \"peer\": \"" + kTunnelPeer + "\"}\n";
    writeFile(standInDirectory() / "expect.json", expectations, 0600);
}

std::string NmSandbox::standInLog() const {
    return readFile(standInDirectory() / "stub.log");
}

bool NmSandbox::nmcli(const std::vector<std::string>& arguments, std::string& out) const {
    std::vector<std::string> argv = {kNmcli};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProgramResult result = runProgram(argv, 30s);
    out = result.out + result.err;
    return result.exitStatus == 0;
}

void NmSandbox::tearDown() {
    if (networkManager_ > 0) {
        kill(networkManager_, SIGCONT);
        stopChild(networkManager_, SIGTERM, 5s);
    }
    stopChild(l2tpServer_, SIGTERM, 2s);
    // What is left, plugins and their helpers, goes while the bus is still there: a plugin
    // leaves by itself when the bus goes, and might then slip past the reaping.
    for (const std::string& name : {clientNamespace_, serverNamespace_}) {
        if (!name.empty())
            emptyNamespace(name);
    }
    stopChild(bus_, SIGTERM, 2s);
    networkManager_ = l2tpServer_ = bus_ = -1;
    reapOrphans();
    for (const std::string& name : {clientNamespace_, serverNamespace_}) {
        if (!name.empty())
            deleteNamespace(name);
    }
    if (!root_.empty()) {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    if (!busAddress_.empty()) {
        if (hadPreviousBusAddress_) {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", previousBusAddress_.c_str(), 1);
        } else {
            unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        }
    }
}

}  // namespace vpn::test
