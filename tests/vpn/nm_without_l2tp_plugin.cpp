// Runs the NetworkManager back-end as on a machine without NetworkManager's L2TP plugin: in a
// mount namespace of its own whose plugin directories are empty. Prints whether the entry was
// written and the reason the service gives, one line each. Root only; the bus is the one
// DBUS_SYSTEM_BUS_ADDRESS names.

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "vpn/dial_up_service.h"
#include "vpn/vpn_entry.h"

int main() {
    // Still single-threaded here, as unshare(CLONE_NEWNS) requires.
    char empty[] = "/tmp/vpn-no-plugins-XXXXXX";
    if (!mkdtemp(empty) || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "cannot set up the mount namespace: %s\n", std::strerror(errno));
        return 2;
    }
    for (const char* plugins : {"/usr/lib/NetworkManager/VPN", "/etc/NetworkManager/VPN"}) {
        if (std::filesystem::exists(plugins) &&
            mount(empty, plugins, nullptr, MS_BIND, nullptr) != 0) {
            std::fprintf(stderr, "cannot hide %s: %s\n", plugins, std::strerror(errno));
            rmdir(empty);
            return 2;
        }
    }
    auto service = vpn::createDialUpService();
    const bool written =
        service->writeEntry(vpn::kEntryName, vpn::makeVpnEntrySettings("10.231.0.2"));
    std::printf("%s\n%s\n", written ? "written" : "not written",
                service->unavailableReason().c_str());
    rmdir(empty);
    return 0;
}
