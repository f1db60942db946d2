#pragma once

#include <string>

namespace vpn {

inline constexpr const char* kEntryName = "青禾鹭VPN专用连接";

// The VPN profile the connector writes before every connection: an L2TP tunnel over PPP to
// one server, the same fixed settings every time. Only the server changes. This is the
// platform-neutral description; each dial-up back-end expresses it in its own terms (the
// Windows phonebook records, a NetworkManager connection).
struct VpnEntrySettings {
    std::string server;  // dialed address, UTF-8

    // PPP authentication the server may ask for.
    bool allowPap = true;
    bool allowSpap = true;
    bool allowChap = true;
    bool allowMsChap = true;
    bool allowMsChapV2 = true;
    bool allowEap = false;

    bool softwareCompression = true;
    bool encryptionRequired = false;   // data encryption is optional
    bool remoteDefaultGateway = true;  // all traffic goes through the tunnel
    bool ipv4Only = true;
    bool usePreSharedKey = false;
    bool negotiateMultilink = false;
    bool reconnectIfDropped = true;
    int redialCount = 3;
    int redialPauseSeconds = 60;
    int countryId = 86;
    int countryCode = 86;
};

VpnEntrySettings makeVpnEntrySettings(const std::string& server);

}  // namespace vpn
