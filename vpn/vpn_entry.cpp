#include "vpn/vpn_entry.h"

namespace vpn {

VpnEntrySettings makeVpnEntrySettings(const std::string& server) {
    VpnEntrySettings settings;
    settings.server = server;
    return settings;
}

}  // namespace vpn
