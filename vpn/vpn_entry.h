#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

// What the dial-up records can hold, in bytes of the GBK (CP936) form the Windows service
// stores: the server address goes into a 129-byte field, the user name and the password into
// 257-byte ones, each with its terminating zero. The connect command refuses longer texts on
// every platform, so a profile that works on one works on the others.
inline constexpr std::size_t kMaxServerBytes = 128;
inline constexpr std::size_t kMaxCredentialBytes = 256;

// The length of a UTF-8 text once converted to GBK, without converting it: 1 byte for each
// ASCII character, 2 for every other character. Each byte of a malformed UTF-8 sequence counts
// as a character of its own (2 bytes). The figure is never below the real GBK length (the few
// characters GBK stores in one byte, and characters it lacks, which become '?', are counted
// as 2), so a text that passes the check always fits its field.
std::size_t gbkByteLength(std::string_view utf8);

}  // namespace vpn
