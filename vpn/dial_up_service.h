#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vpn/vpn_entry.h"

namespace vpn {

// Opaque reference to one active connection, given out by the service (a D-Bus object path
// on Linux, the connection handle on Windows). Empty means "none".
using ConnectionHandle = std::string;

struct ActiveConnection {
    ConnectionHandle handle;
    std::string entryName;  // UTF-8
};

// The operating system's dial-up service, shaped after the Windows one so that the connection
// logic reads the same on every platform. Result codes: 0 is success; any other value is the
// service's own error code, which errorText() turns into a text for the status log.
// Every call may block; none is made on a window's thread.
class DialUpService {
public:
    virtual ~DialUpService() = default;

    // (Re)writes the entry with these settings and clears any stored credentials.
    virtual bool writeEntry(const std::string& entryName, const VpnEntrySettings& settings) = 0;
    // The active dial-up connections, in the service's order.
    virtual std::uint32_t listConnections(std::vector<ActiveConnection>& out) = 0;
    // Dials the entry with these credentials and returns when the connection is up or has
    // failed. `handle` may be set on failure too (a half-open connection to hang up).
    virtual std::uint32_t dial(const std::string& entryName, const std::string& user,
                               const std::string& password, ConnectionHandle& handle) = 0;
    virtual std::string errorText(std::uint32_t code) = 0;
    // Does not wait for the line to drop; errors are ignored.
    virtual void hangUp(const ConnectionHandle& handle) = 0;
    // Removes every entry of that name; removing none is not an error.
    virtual void deleteEntry(const std::string& entryName) = 0;
    // Why the service cannot work on this machine (no dial-up service, no L2TP support, the
    // service not answering), as a line for the status log; empty when it can.
    virtual std::string unavailableReason() { return {}; }
};

// The platform's service (NetworkManager on Linux, RAS on Windows).
std::unique_ptr<DialUpService> createDialUpService();

}  // namespace vpn
