#include "vpn/ras_records.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vpn {
namespace {

// Offsets of every field the program sets, as the Windows SDK lays them out.
static_assert(offsetof(RasEntryLayout, dwSize) == 0);
static_assert(offsetof(RasEntryLayout, dwfOptions) == 4);
static_assert(offsetof(RasEntryLayout, dwCountryID) == 8);
static_assert(offsetof(RasEntryLayout, dwCountryCode) == 12);
static_assert(offsetof(RasEntryLayout, szLocalPhoneNumber) == 27);
static_assert(offsetof(RasEntryLayout, dwAlternateOffset) == 156);
static_assert(offsetof(RasEntryLayout, dwfNetProtocols) == 184);
static_assert(offsetof(RasEntryLayout, dwFramingProtocol) == 188);
static_assert(offsetof(RasEntryLayout, szScript) == 192);
static_assert(offsetof(RasEntryLayout, szDeviceType) == 972);
static_assert(offsetof(RasEntryLayout, szDeviceName) == 989);
static_assert(offsetof(RasEntryLayout, szX25UserData) == 1553);
static_assert(offsetof(RasEntryLayout, dwChannels) == 1756);
static_assert(offsetof(RasEntryLayout, dwDialMode) == 1772);
static_assert(offsetof(RasEntryLayout, dwDialExtraPercent) == 1776);
static_assert(offsetof(RasEntryLayout, dwDialExtraSampleSeconds) == 1780);
static_assert(offsetof(RasEntryLayout, dwHangUpExtraPercent) == 1784);
static_assert(offsetof(RasEntryLayout, dwHangUpExtraSampleSeconds) == 1788);
static_assert(offsetof(RasEntryLayout, dwIdleDisconnectSeconds) == 1792);
static_assert(offsetof(RasEntryLayout, dwType) == 1796);
static_assert(offsetof(RasEntryLayout, dwEncryptionType) == 1800);
static_assert(offsetof(RasEntryLayout, guidId) == 1808);
static_assert(offsetof(RasEntryLayout, szCustomDialDll) == 1824);
static_assert(offsetof(RasEntryLayout, dwVpnStrategy) == 2084);
static_assert(offsetof(RasEntryLayout, dwfOptions2) == 2088);
static_assert(offsetof(RasEntryLayout, dwfOptions3) == 2092);
static_assert(offsetof(RasEntryLayout, szDnsSuffix) == 2096);
static_assert(offsetof(RasEntryLayout, dwTcpWindowSize) == 2352);
static_assert(offsetof(RasEntryLayout, szPrerequisitePbk) == 2356);
static_assert(offsetof(RasEntryLayout, szPrerequisiteEntry) == 2616);
static_assert(offsetof(RasEntryLayout, dwRedialCount) == 2876);
static_assert(offsetof(RasEntryLayout, dwRedialPause) == 2880);

static_assert(offsetof(RasCredentialsLayout, dwMask) == 4);
static_assert(offsetof(RasCredentialsLayout, szUserName) == 8);
static_assert(offsetof(RasCredentialsLayout, szPassword) == 265);
static_assert(offsetof(RasCredentialsLayout, szDomain) == 522);

static_assert(offsetof(RasDialParamsLayout, szEntryName) == 4);
static_assert(offsetof(RasDialParamsLayout, szPhoneNumber) == 261);
static_assert(offsetof(RasDialParamsLayout, szCallbackNumber) == 390);
static_assert(offsetof(RasDialParamsLayout, szUserName) == 519);
static_assert(offsetof(RasDialParamsLayout, szPassword) == 776);
static_assert(offsetof(RasDialParamsLayout, szDomain) == 1033);

static_assert(offsetof(RasConn32Layout, hrasconn) == 4);
static_assert(offsetof(RasConn32Layout, szEntryName) == 8);
static_assert(offsetof(RasConn32Layout, szDeviceType) == 265);
static_assert(offsetof(RasConn32Layout, szDeviceName) == 282);
static_assert(offsetof(RasConn64Layout, hrasconn) == 8);
static_assert(offsetof(RasConn64Layout, szEntryName) == 16);
static_assert(offsetof(RasConn64Layout, szDeviceType) == 273);
static_assert(offsetof(RasConn64Layout, szDeviceName) == 290);

// dwfOptions bits (RASEO_*).
constexpr std::uint32_t kRemoteDefaultGateway = 0x00000010;
constexpr std::uint32_t kModemLights = 0x00000100;
constexpr std::uint32_t kSwCompression = 0x00000200;
constexpr std::uint32_t kSecureLocalFiles = 0x00010000;
constexpr std::uint32_t kRequireEap = 0x00020000;
constexpr std::uint32_t kRequirePap = 0x00040000;
constexpr std::uint32_t kRequireSpap = 0x00080000;
constexpr std::uint32_t kPreviewUserPw = 0x01000000;
constexpr std::uint32_t kShowDialingProgress = 0x04000000;
constexpr std::uint32_t kRequireChap = 0x08000000;
constexpr std::uint32_t kRequireMsChap = 0x10000000;
constexpr std::uint32_t kRequireMsChap2 = 0x20000000;

// dwfOptions2 bits (RASEO2_*).
constexpr std::uint32_t kSecureFileAndPrint = 0x001;
constexpr std::uint32_t kSecureClientForMsNet = 0x002;
constexpr std::uint32_t kDontNegotiateMultilink = 0x004;
constexpr std::uint32_t kDontUseRasCredentials = 0x008;
constexpr std::uint32_t kUsePreSharedKey = 0x010;
constexpr std::uint32_t kInternet = 0x020;
constexpr std::uint32_t kDisableNbtOverIp = 0x040;
constexpr std::uint32_t kReconnectIfDropped = 0x100;

constexpr std::uint32_t kNetProtocolIp = 4;       // RASNP_Ip
constexpr std::uint32_t kNetProtocolIpv6 = 8;     // RASNP_Ipv6
constexpr std::uint32_t kFramingPpp = 1;          // RASFP_Ppp
constexpr std::uint32_t kDialAll = 1;             // RASEDM_DialAll
constexpr std::uint32_t kEntryTypeVpn = 2;        // RASET_Vpn
constexpr std::uint32_t kEncryptionRequire = 1;   // ET_Require
constexpr std::uint32_t kEncryptionOptional = 3;  // ET_Optional
constexpr std::uint32_t kVpnStrategyDefault = 0;  // VS_Default
// RASCM_UserName | RASCM_Password | RASCM_DefaultCreds
constexpr std::uint32_t kCredentialsUserPasswordDefault = 0x1 | 0x2 | 0x8;

std::uint32_t bit(bool on, std::uint32_t flag) {
    return on ? flag : 0;
}

// Copies a GBK text into a zero-filled field, leaving room for the terminating zero.
template <std::size_t N>
void putText(char (&field)[N], std::string_view text) {
    if (text.size() >= N) {
        throw std::length_error("text of " + std::to_string(text.size()) +
                                " bytes does not fit a " + std::to_string(N) + "-byte field");
    }
    if (text.find('\0') != std::string_view::npos) {
        throw std::invalid_argument("text holds a zero byte");
    }
    std::memcpy(field, text.data(), text.size());
}

template <std::size_t N>
std::string textOf(const char (&field)[N]) {
    return std::string(field, std::find(field, field + N, '\0'));
}

}  // namespace

RasEntryLayout makeRasEntry(const VpnEntrySettings& settings, std::string_view serverGbk) {
    RasEntryLayout entry{};
    entry.dwSize = sizeof entry;
    // Dialing-window options are fixed; the rest follows the settings.
    entry.dwfOptions =
        kModemLights | kSecureLocalFiles | kPreviewUserPw | kShowDialingProgress |
        bit(settings.remoteDefaultGateway, kRemoteDefaultGateway) |
        bit(settings.softwareCompression, kSwCompression) | bit(settings.allowEap, kRequireEap) |
        bit(settings.allowPap, kRequirePap) | bit(settings.allowSpap, kRequireSpap) |
        bit(settings.allowChap, kRequireChap) | bit(settings.allowMsChap, kRequireMsChap) |
        bit(settings.allowMsChapV2, kRequireMsChap2);
    entry.dwCountryID = static_cast<std::uint32_t>(settings.countryId);
    entry.dwCountryCode = static_cast<std::uint32_t>(settings.countryCode);
    putText(entry.szLocalPhoneNumber, serverGbk);
    entry.dwfNetProtocols = kNetProtocolIp | bit(!settings.ipv4Only, kNetProtocolIpv6);
    entry.dwFramingProtocol = kFramingPpp;
    putText(entry.szDeviceType, "vpn");
    putText(entry.szDeviceName, kL2tpDeviceNameGbk);
    entry.dwDialMode = kDialAll;
    entry.dwDialExtraPercent = 75;
    entry.dwDialExtraSampleSeconds = 120;
    entry.dwHangUpExtraPercent = 10;
    entry.dwHangUpExtraSampleSeconds = 120;
    entry.dwType = kEntryTypeVpn;
    entry.dwEncryptionType = settings.encryptionRequired ? kEncryptionRequire : kEncryptionOptional;
    entry.dwVpnStrategy = kVpnStrategyDefault;
    entry.dwfOptions2 = kSecureFileAndPrint | kSecureClientForMsNet | kDontUseRasCredentials |
                        kInternet | kDisableNbtOverIp |
                        bit(!settings.negotiateMultilink, kDontNegotiateMultilink) |
                        bit(settings.usePreSharedKey, kUsePreSharedKey) |
                        bit(settings.reconnectIfDropped, kReconnectIfDropped);
    entry.dwRedialCount = static_cast<std::uint32_t>(settings.redialCount);
    entry.dwRedialPause = static_cast<std::uint32_t>(settings.redialPauseSeconds);
    return entry;
}

RasCredentialsLayout makeClearingRasCredentials() {
    RasCredentialsLayout credentials{};
    credentials.dwSize = sizeof credentials;
    credentials.dwMask = kCredentialsUserPasswordDefault;
    return credentials;
}

RasDialParamsLayout makeRasDialParams(std::string_view entryNameGbk, std::string_view userGbk,
                                      std::string_view passwordGbk) {
    RasDialParamsLayout params{};
    params.dwSize = sizeof params;
    putText(params.szEntryName, entryNameGbk);
    putText(params.szCallbackNumber, "*");
    putText(params.szUserName, userGbk);
    putText(params.szPassword, passwordGbk);
    putText(params.szDomain, "*");
    return params;
}

template <typename Layout>
std::vector<RasConnectionInfo> RasConnectionTable<Layout>::read(std::uint32_t count) const {
    std::vector<RasConnectionInfo> connections;
    const std::size_t n = std::min<std::size_t>(count, kRecords);
    for (std::size_t i = 0; i < n; ++i) {
        connections.push_back({records[i].hrasconn, textOf(records[i].szEntryName)});
    }
    return connections;
}

template struct RasConnectionTable<RasConn32Layout>;
template struct RasConnectionTable<RasConn64Layout>;

}  // namespace vpn
