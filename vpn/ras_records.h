#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "vpn/vpn_entry.h"

// The records the Windows dial-up service (rasapi32, ANSI forms) reads and writes, defined here
// byte for byte so that the program needs no SDK header and the layouts can be checked on any
// build host. Field names are the SDK's. Every padding byte is an explicit member, so a
// value-initialised record is zero in every byte and goes to the service exactly as built.
// Texts are GBK (CP936) bytes; the caller converts them, the core has no converter.

namespace vpn {

static_assert(std::endian::native == std::endian::little,
              "the dial-up records are little-endian, as Windows is");

struct RasIpAddr {
    std::uint8_t a, b, c, d;
};

struct RasGuid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

// RASENTRYA in its Windows XP layout (dwSize 2884).
struct RasEntryLayout {
    std::uint32_t dwSize;
    std::uint32_t dwfOptions;
    std::uint32_t dwCountryID;
    std::uint32_t dwCountryCode;
    char szAreaCode[11];
    char szLocalPhoneNumber[129];
    std::uint32_t dwAlternateOffset;
    RasIpAddr ipaddr;
    RasIpAddr ipaddrDns;
    RasIpAddr ipaddrDnsAlt;
    RasIpAddr ipaddrWins;
    RasIpAddr ipaddrWinsAlt;
    std::uint32_t dwFrameSize;
    std::uint32_t dwfNetProtocols;
    std::uint32_t dwFramingProtocol;
    char szScript[260];
    char szAutodialDll[260];
    char szAutodialFunc[260];
    char szDeviceType[17];
    char szDeviceName[129];
    char szX25PadType[33];
    char szX25Address[201];
    char szX25Facilities[201];
    char szX25UserData[201];
    std::uint8_t padding1[2];
    std::uint32_t dwChannels;
    std::uint32_t dwReserved1;
    std::uint32_t dwReserved2;
    std::uint32_t dwSubEntries;
    std::uint32_t dwDialMode;
    std::uint32_t dwDialExtraPercent;
    std::uint32_t dwDialExtraSampleSeconds;
    std::uint32_t dwHangUpExtraPercent;
    std::uint32_t dwHangUpExtraSampleSeconds;
    std::uint32_t dwIdleDisconnectSeconds;
    std::uint32_t dwType;
    std::uint32_t dwEncryptionType;
    std::uint32_t dwCustomAuthKey;
    RasGuid guidId;
    char szCustomDialDll[260];
    std::uint32_t dwVpnStrategy;
    std::uint32_t dwfOptions2;
    std::uint32_t dwfOptions3;
    char szDnsSuffix[256];
    std::uint32_t dwTcpWindowSize;
    char szPrerequisitePbk[260];
    char szPrerequisiteEntry[257];
    std::uint8_t padding2[3];
    std::uint32_t dwRedialCount;
    std::uint32_t dwRedialPause;
};

// RASCREDENTIALSA (dwSize 540).
struct RasCredentialsLayout {
    std::uint32_t dwSize;
    std::uint32_t dwMask;
    char szUserName[257];
    char szPassword[257];
    char szDomain[16];
    std::uint8_t padding[2];
};

// RASDIALPARAMSA in its Windows 95/NT 4 layout (dwSize 1052): no sub-entry, no callback id.
struct RasDialParamsLayout {
    std::uint32_t dwSize;
    char szEntryName[257];
    char szPhoneNumber[129];
    char szCallbackNumber[129];
    char szUserName[257];
    char szPassword[257];
    char szDomain[16];
    std::uint8_t padding[3];
};

// RASCONNA in its Windows 95/NT 4 layout. The handle is pointer-sized, so the record is 412
// bytes in a 32-bit program and 424 in a 64-bit one; both are defined so either can be checked.
struct RasConn32Layout {
    std::uint32_t dwSize;
    std::uint32_t hrasconn;
    char szEntryName[257];
    char szDeviceType[17];
    char szDeviceName[129];
    std::uint8_t padding[1];
};

struct RasConn64Layout {
    std::uint32_t dwSize;
    std::uint8_t padding1[4];
    std::uint64_t hrasconn;
    char szEntryName[257];
    char szDeviceType[17];
    char szDeviceName[129];
    std::uint8_t padding2[5];
};

// The connection record of this program's own pointer size.
using RasConnLayout = std::conditional_t<sizeof(void*) == 8, RasConn64Layout, RasConn32Layout>;

// The device the entry dials through: the L2TP WAN miniport as a Chinese Windows names it,
// "WAN  微型端口  (L2TP)" in GBK.
inline constexpr std::string_view kL2tpDeviceNameGbk =
    "WAN  \xCE\xA2\xD0\xCD\xB6\xCB\xBF\xDA  (L2TP)";

// The entry record for these settings. serverGbk is settings.server in GBK. Throws
// std::length_error when a text does not fit its field (with its terminating zero) and
// std::invalid_argument when it holds a zero byte, which would cut it short.
RasEntryLayout makeRasEntry(const VpnEntrySettings& settings, std::string_view serverGbk);

// The credentials record that clears the user name and password stored with the entry.
RasCredentialsLayout makeClearingRasCredentials();

// The dial parameters: dial the number stored in the entry, no callback ("*"), the given
// account, domain "*". Throws like makeRasEntry.
RasDialParamsLayout makeRasDialParams(std::string_view entryNameGbk, std::string_view userGbk,
                                      std::string_view passwordGbk);

// One active connection read from the enumeration buffer.
struct RasConnectionInfo {
    std::uint64_t handle;
    std::string entryNameGbk;
};

// The buffer offered to RasEnumConnectionsA: 11 connection records (4532 bytes in a 32-bit
// program), the first one's dwSize set. The enumeration fills `count`; read() returns those
// records, never more than the 11 offered, whatever count says (with more active connections
// the service reports a too-small buffer).
template <typename Layout>
struct RasConnectionTable {
    static constexpr std::size_t kRecords = 11;

    RasConnectionTable() { records[0].dwSize = sizeof(Layout); }

    void* data() { return records; }
    static constexpr std::uint32_t byteSize() { return sizeof(records); }
    std::vector<RasConnectionInfo> read(std::uint32_t count) const;

    Layout records[kRecords]{};
};

extern template struct RasConnectionTable<RasConn32Layout>;
extern template struct RasConnectionTable<RasConn64Layout>;

template <typename Layout>
inline constexpr bool kHasNoHiddenPadding = std::has_unique_object_representations_v<Layout>;

static_assert(kHasNoHiddenPadding<RasEntryLayout> && sizeof(RasEntryLayout) == 2884);
static_assert(kHasNoHiddenPadding<RasCredentialsLayout> && sizeof(RasCredentialsLayout) == 540);
static_assert(kHasNoHiddenPadding<RasDialParamsLayout> && sizeof(RasDialParamsLayout) == 1052);
static_assert(kHasNoHiddenPadding<RasConn32Layout> && sizeof(RasConn32Layout) == 412);
static_assert(kHasNoHiddenPadding<RasConn64Layout> && sizeof(RasConn64Layout) == 424);
static_assert(sizeof(RasConnectionTable<RasConn32Layout>) == 4532);

}  // namespace vpn
