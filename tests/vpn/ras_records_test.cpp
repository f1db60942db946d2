#include "vpn/ras_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/text_codec.h"

namespace vpn {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes le32(std::uint32_t value) {
    return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

Bytes text(const std::string& bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

struct Expected {
    std::size_t offset;
    Bytes bytes;
};

template <typename Record>
Bytes bytesOf(const Record& record) {
    Bytes bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

// Every listed byte sequence stands at its offset and every other byte of the record is zero.
void expectRecord(const Bytes& record, std::size_t size, const std::vector<Expected>& expected) {
    ASSERT_EQ(record.size(), size);
    std::vector<bool> checked(record.size(), false);
    for (const Expected& e : expected) {
        ASSERT_LE(e.offset + e.bytes.size(), record.size()) << "offset " << e.offset;
        EXPECT_EQ(Bytes(record.begin() + static_cast<std::ptrdiff_t>(e.offset),
                        record.begin() + static_cast<std::ptrdiff_t>(e.offset + e.bytes.size())),
                  e.bytes)
            << "at offset " << e.offset;
        std::fill_n(checked.begin() + static_cast<std::ptrdiff_t>(e.offset), e.bytes.size(), true);
    }
    for (std::size_t i = 0; i < record.size(); ++i) {
        if (!checked[i]) {
            EXPECT_EQ(record[i], 0) << "at offset " << i;
        }
    }
}

TEST(RasEntry, HoldsTheFixedL2tpSettingsAndTheServer) {
    const std::string server = "vpn.example.com";
    const RasEntryLayout entry = makeRasEntry(makeVpnEntrySettings(server), server);
    expectRecord(bytesOf(entry), 2884,
                 {
                     {0, le32(2884)},        // dwSize
                     {4, le32(0x3D0D0310)},  // dwfOptions
                     {8, le32(86)},          // dwCountryID
                     {12, le32(86)},         // dwCountryCode
                     {27, text(server)},     // szLocalPhoneNumber
                     {184, le32(4)},         // dwfNetProtocols: RASNP_Ip
                     {188, le32(1)},         // dwFramingProtocol: RASFP_Ppp
                     {972, text("vpn")},     // szDeviceType
                     {989, text(utf8ToGbk("WAN  微型端口  (L2TP)"))},  // szDeviceName
                     {1772, le32(1)},                                  // dwDialMode: RASEDM_DialAll
                     {1776, le32(75)},                                 // dwDialExtraPercent
                     {1780, le32(120)},                                // dwDialExtraSampleSeconds
                     {1784, le32(10)},                                 // dwHangUpExtraPercent
                     {1788, le32(120)},                                // dwHangUpExtraSampleSeconds
                     {1796, le32(2)},                                  // dwType: RASET_Vpn
                     {1800, le32(3)},    // dwEncryptionType: ET_Optional
                     {2084, le32(0)},    // dwVpnStrategy: VS_Default
                     {2088, le32(367)},  // dwfOptions2
                     {2876, le32(3)},    // dwRedialCount
                     {2880, le32(60)},   // dwRedialPause
                 });
}

TEST(RasEntry, OptionsFollowTheSettings) {
    VpnEntrySettings settings = makeVpnEntrySettings("s");
    settings.allowPap = false;              // RASEO_RequirePAP 0x00040000
    settings.allowEap = true;               // RASEO_RequireEAP 0x00020000
    settings.remoteDefaultGateway = false;  // RASEO_RemoteDefaultGateway 0x10
    settings.encryptionRequired = true;     // ET_Require
    settings.usePreSharedKey = true;        // RASEO2_UsePreSharedKey 0x10
    settings.reconnectIfDropped = false;    // RASEO2_ReconnectIfDropped 0x100
    const RasEntryLayout entry = makeRasEntry(settings, "s");
    EXPECT_EQ(entry.dwfOptions, 0x3D0D0310u - 0x00040000u + 0x00020000u - 0x10u);
    EXPECT_EQ(entry.dwEncryptionType, 1u);
    EXPECT_EQ(entry.dwfOptions2, 367u + 0x10u - 0x100u);
}

TEST(RasEntry, RefusesTextsThatWouldBeCutShort) {
    const VpnEntrySettings settings = makeVpnEntrySettings("");
    EXPECT_NO_THROW(makeRasEntry(settings, std::string(128, 'a')));
    EXPECT_THROW(makeRasEntry(settings, std::string(129, 'a')), std::length_error);
    EXPECT_THROW(makeRasEntry(settings, std::string("a\0b", 3)), std::invalid_argument);
}

TEST(RasCredentials, ClearUserPasswordAndDefaultCredentials) {
    expectRecord(bytesOf(makeClearingRasCredentials()), 540,
                 {
                     {0, le32(540)},  // dwSize
                     {4, le32(11)},   // dwMask: user name, password, default credentials
                 });
}

TEST(RasDialParams, CarryTheEntryAndTheAccount) {
    const std::string entryName = utf8ToGbk(kEntryName);
    const std::string user = utf8ToGbk("用户 a");
    const std::string password(256, 'p');
    expectRecord(bytesOf(makeRasDialParams(entryName, user, password)), 1052,
                 {
                     {0, le32(1052)},        // dwSize
                     {4, text(entryName)},   // szEntryName
                     {390, text("*")},       // szCallbackNumber; szPhoneNumber (261) empty
                     {519, text(user)},      // szUserName
                     {776, text(password)},  // szPassword
                     {1033, text("*")},      // szDomain
                 });
    EXPECT_THROW(makeRasDialParams(entryName, user, std::string(257, 'p')), std::length_error);
    EXPECT_THROW(makeRasDialParams(entryName, std::string(257, 'u'), "p"), std::length_error);
}

// Writes one connection record the way the service fills the enumeration buffer.
void putConnection(void* table, std::size_t recordSize, std::size_t handleOffset,
                   std::size_t handleSize, std::size_t index, std::uint64_t handle,
                   std::string_view name) {
    auto* record = static_cast<unsigned char*>(table) + index * recordSize;
    std::memcpy(record + handleOffset, &handle, handleSize);
    std::copy(name.begin(), name.end(), record + handleOffset + handleSize);
}

template <typename Layout>
void expectConnectionTable(std::size_t recordSize, std::size_t handleOffset,
                           std::size_t handleSize) {
    RasConnectionTable<Layout> table;
    ASSERT_EQ(table.byteSize(), 11 * recordSize);
    const Bytes first = text(std::string(static_cast<const char*>(table.data()), 4));
    EXPECT_EQ(first, le32(static_cast<std::uint32_t>(recordSize))) << "first dwSize";

    for (std::size_t i = 0; i < 11; ++i) {
        putConnection(table.data(), recordSize, handleOffset, handleSize, i, 0x1000 + i,
                      "conn" + std::to_string(i));
    }
    const auto two = table.read(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].handle, 0x1001u);
    EXPECT_EQ(two[1].entryNameGbk, "conn1");
    // More connections than records offered: only the 11 are read.
    const auto all = table.read(40);
    ASSERT_EQ(all.size(), 11u);
    EXPECT_EQ(all[10].entryNameGbk, "conn10");

    // A name filling its whole field without a terminating zero stops at the field's end,
    // before the device type that follows it.
    putConnection(table.data(), recordSize, handleOffset, handleSize, 0, 7,
                  std::string(257, 'n') + "vpn");
    EXPECT_EQ(table.read(1)[0].entryNameGbk, std::string(257, 'n'));
}

TEST(RasConnectionTable, ThirtyTwoBitRecords) {
    expectConnectionTable<RasConn32Layout>(412, 4, 4);
}

TEST(RasConnectionTable, SixtyFourBitRecords) {
    expectConnectionTable<RasConn64Layout>(424, 8, 8);
}

}  // namespace
}  // namespace vpn
