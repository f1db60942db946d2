// How long our own code takes around a VPN dial through NetworkManager: from the connect press
// to the moment the activation request reaches the bus, and from the moment NetworkManager
// reports the VPN connected to the moment the connect command logs "连接成功。". What lies in
// between is NetworkManager's and the plugin's work and is shown for comparison only.
//
// Runs the real connect and disconnect commands over the NetworkManager back-end against a
// real NetworkManager in a sandbox (tests/vpn/nm_sandbox.h, root only) with the stand-in L2TP
// plugin. The two moments on the bus are taken by a D-Bus monitor on the sandbox's bus.
//
//   sudo build/<dir>/bench/nm_connect_bench [connects]

#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/status_log.h"
#include "tests/vpn/nm_sandbox.h"
#include "vpn/connection_control.h"
#include "vpn/dial_up_service.h"
#include "vpn/vpn_entry.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kUser = "bench-user";
constexpr const char* kPassword = "bench-password";
constexpr std::uint32_t kVpnActivated = 5;  // NM_VPN_CONNECTION_STATE_ACTIVATED

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// The bus moments of one connect, set by the monitor's filter on GDBus's worker thread.
struct BusMarks {
    std::atomic<std::int64_t> activateCall{0};
    std::atomic<std::int64_t> vpnActivated{0};
    std::string ownName;
};

GDBusMessage* watchBus(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer data) {
    auto* marks = static_cast<BusMarks*>(data);
    if (!incoming)
        return message;
    const char* destination = g_dbus_message_get_destination(message);
    if (destination && marks->ownName == destination)
        return message;  // the monitor's own traffic
    const std::int64_t seen = nowNs();
    const char* member = g_dbus_message_get_member(message);
    const GDBusMessageType type = g_dbus_message_get_message_type(message);
    if (member && type == G_DBUS_MESSAGE_TYPE_METHOD_CALL &&
        std::strcmp(member, "ActivateConnection") == 0) {
        std::int64_t unset = 0;
        marks->activateCall.compare_exchange_strong(unset, seen);
    } else if (member && type == G_DBUS_MESSAGE_TYPE_SIGNAL &&
               std::strcmp(member, "VpnStateChanged") == 0) {
        GVariant* body = g_dbus_message_get_body(message);
        guint32 state = 0;
        guint32 reason = 0;
        if (body && g_variant_is_of_type(body, G_VARIANT_TYPE("(uu)")))
            g_variant_get(body, "(uu)", &state, &reason);
        std::int64_t unset = 0;
        if (state == kVpnActivated)
            marks->vpnActivated.compare_exchange_strong(unset, seen);
    }
    // Monitored messages are not ours to answer: a monitor that sends is thrown off the bus.
    return nullptr;
}

GDBusConnection* startMonitor(const std::string& busAddress, BusMarks& marks) {
    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        busAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) {
        std::fprintf(stderr, "monitor: %s\n", error->message);
        g_error_free(error);
        return nullptr;
    }
    marks.ownName = g_dbus_connection_get_unique_name(bus);
    g_dbus_connection_add_filter(bus, watchBus, &marks, nullptr);
    const char* rules[] = {
        "type='method_call',interface='org.freedesktop.NetworkManager',member='ActivateConnection'",
        "type='signal',interface='org.freedesktop.NetworkManager.VPN.Connection',member='"
        "VpnStateChanged'",
        nullptr};
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
        "BecomeMonitor", g_variant_new("(^asu)", rules, 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, &error);
    if (!reply) {
        std::fprintf(stderr, "monitor: %s\n", error->message);
        g_error_free(error);
        g_object_unref(bus);
        return nullptr;
    }
    g_variant_unref(reply);
    return bus;
}

// Remembers when the connect command logged its success.
class TimedLog final : public vpn::StatusLog {
public:
    void AddLog(const std::string& line) override {
        if (line == "连接成功。")
            connected = nowNs();
        lines.push_back(line);
    }
    std::int64_t connected = 0;
    std::vector<std::string> lines;
};

struct Figures {
    std::vector<double> beforeMs;
    std::vector<double> networkManagerMs;
    std::vector<double> afterMs;
};

void printRow(const char* what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("  %-44s %8.1f %8.1f %8.1f\n", what, values[values.size() / 2], values.front(),
                values.back());
}

bool stillListed(vpn::DialUpService& service) {
    std::vector<vpn::ActiveConnection> actives;
    if (service.listConnections(actives) != 0)
        return true;
    return std::any_of(actives.begin(), actives.end(), [](const vpn::ActiveConnection& active) {
        return active.entryName == vpn::kEntryName;
    });
}

}  // namespace

int main(int argc, char** argv) {
    const int connects = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    std::string why;
    auto sandbox = vpn::test::NmSandbox::start({}, why);
    if (!sandbox) {
        std::fprintf(stderr, "no NetworkManager sandbox: %s\n", why.c_str());
        return 1;
    }
    sandbox->expectCredentials(kUser, kPassword);
    BusMarks marks;
    GDBusConnection* monitor = startMonitor(sandbox->busAddress(), marks);
    if (!monitor)
        return 1;

    auto service = vpn::createDialUpService();
    TimedLog log;
    vpn::ConnectionControl control(*service, log, [] { return std::string("address report"); });
    Figures figures;
    double firstBefore = 0;
    double firstAfter = 0;
    for (int i = 0; i < connects; ++i) {
        marks.activateCall = 0;
        marks.vpnActivated = 0;
        log.connected = 0;
        const std::int64_t pressed = nowNs();
        control.ConnectCommand({vpn::test::NmSandbox::serverAddress(), kUser, kPassword});
        // The monitor may see the last signal a moment after the command returned.
        const auto deadline = Clock::now() + 2s;
        while ((!marks.activateCall || !marks.vpnActivated) && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        if (!log.connected || !marks.activateCall || !marks.vpnActivated) {
            std::fprintf(stderr, "connect %d did not succeed; log:\n", i + 1);
            for (const std::string& line : log.lines)
                std::fprintf(stderr, "  %s\n", line.c_str());
            return 1;
        }
        const double before = static_cast<double>(marks.activateCall - pressed) / 1e6;
        const double after = static_cast<double>(log.connected - marks.vpnActivated) / 1e6;
        figures.beforeMs.push_back(before);
        figures.networkManagerMs.push_back(
            static_cast<double>(marks.vpnActivated - marks.activateCall) / 1e6);
        figures.afterMs.push_back(after);
        if (i == 0) {
            firstBefore = before;
            firstAfter = after;
        }
        control.DisconnectCommand();
        // Let the stand-in take its tunnel down before the next connect (not measured).
        const auto downBy = Clock::now() + 10s;
        while (Clock::now() < downBy && stillListed(*service))
            std::this_thread::sleep_for(20ms);
        std::this_thread::sleep_for(200ms);
    }
    g_object_unref(monitor);

    std::printf(
        "NetworkManager back-end, %d connects through the connect command (stand-in L2TP plugin)\n",
        connects);
    std::printf("  %-44s %8s %8s %8s\n", "ms", "median", "min", "max");
    printRow("ours: press -> ActivateConnection on the bus", figures.beforeMs);
    printRow("NetworkManager + plugin: -> VPN activated", figures.networkManagerMs);
    printRow("ours: VPN activated -> \"连接成功。\" logged", figures.afterMs);
    std::printf(
        "  first connect (plugin started by NetworkManager): ours %.1f ms before, %.1f ms after\n",
        firstBefore, firstAfter);
    std::printf("  goal: each of our two figures under 50 ms\n");
    return 0;
}
