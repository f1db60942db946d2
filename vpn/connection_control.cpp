#include "vpn/connection_control.h"

#include <string_view>
#include <utility>

#include "app/status_log.h"

namespace vpn {
namespace {

constexpr const char* kIncompleteFields = "请输入完整信息。";
constexpr const char* kServerTooLong = "服务器地址太长。";
constexpr const char* kCredentialsTooLong = "帐号或密码太长。";
constexpr const char* kAlreadyActive = "连接已经激活。";
constexpr const char* kConnected = "连接成功。";
constexpr const char* kDisconnected = "断开连接。";

// Entry names are compared the way the Windows dial-up service does: ASCII letters without
// regard to case, every other byte exactly. In UTF-8 no byte of a multi-byte character is
// ever an ASCII letter, so Chinese characters are never folded.
bool sameEntryName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    const auto fold = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

ConnectionControl::ConnectionControl(DialUpService& service, StatusLog& log,
                                     std::function<std::string()> lookupAddress)
    : service_(service), log_(log), lookupAddress_(std::move(lookupAddress)) {}

void ConnectionControl::ConnectCommand(const ConnectFields& fields) {
    try {
        // Blanks count as filled and nothing is trimmed: the texts are dialed as typed.
        if (fields.server.empty() || fields.user.empty() || fields.password.empty()) {
            log_.AddLog(kIncompleteFields);
            return;
        }
        if (gbkByteLength(fields.server) > kMaxServerBytes) {
            log_.AddLog(kServerTooLong);
            return;
        }
        if (gbkByteLength(fields.user) > kMaxCredentialBytes ||
            gbkByteLength(fields.password) > kMaxCredentialBytes) {
            log_.AddLog(kCredentialsTooLong);
            return;
        }
        entryName_ = kEntryName;
        // A profile the service refuses ends the command without a word, as the main window
        // always did; but a machine without the VPN service at all is told so.
        if (!service_.writeEntry(entryName_, makeVpnEntrySettings(fields.server))) {
            if (const std::string reason = service_.unavailableReason(); !reason.empty()) {
                log_.AddLog(reason);
            }
            return;
        }
        DialVpn(entryName_, fields.user, fields.password);
    } catch (...) {
        // The commands report only through the status log.
    }
}

void ConnectionControl::DialVpn(const std::string& entryName, const std::string& user,
                                const std::string& password) {
    try {
        currentConnection_ = FindConnection(entryName);
        if (!currentConnection_.empty()) {
            log_.AddLog(kAlreadyActive);
            return;
        }
        const std::uint32_t result = service_.dial(entryName, user, password, currentConnection_);
        if (result != 0) {
            try {
                log_.AddLog(std::to_string(result) + " " + service_.errorText(result));
            } catch (...) {
                // Without its text the failure still releases the half-open connection below.
            }
            HangUpVpn();
            return;
        }
        log_.AddLog(kConnected);
        log_.AddLog(lookupAddress_());
    } catch (...) {
        // A failed address report after a good dial leaves the connection up and says nothing.
    }
}

void ConnectionControl::RefreshConnections() {
    connectionTable_.clear();
    try {
        const std::uint32_t result = service_.listConnections(connectionTable_);
        // On failure the records the service could list stay in the table and are searched
        // (Windows lists the 11 it was offered when more are active).
        if (result != 0) {
            log_.AddLog(service_.errorText(result));
        }
    } catch (...) {
    }
}

ConnectionHandle ConnectionControl::FindConnection(const std::string& name) {
    RefreshConnections();
    for (const ActiveConnection& connection : connectionTable_) {
        if (sameEntryName(connection.entryName, name)) {
            return connection.handle;
        }
    }
    return {};
}

void ConnectionControl::HangUpVpn() {
    if (currentConnection_.empty()) {
        return;
    }
    try {
        service_.hangUp(currentConnection_);
        currentConnection_.clear();
    } catch (...) {
        // The handle is kept, so the next disconnect tries again.
    }
}

void ConnectionControl::DisconnectCommand() {
    try {
        HangUpVpn();
        // The entry is removed whether or not a connect command ever ran in this process:
        // an earlier run may have left it behind.
        try {
            service_.deleteEntry(kEntryName);
        } catch (...) {
        }
        log_.AddLog(kDisconnected);
    } catch (...) {
    }
}

}  // namespace vpn
