#pragma once

#include <functional>
#include <string>
#include <vector>

#include "vpn/dial_up_service.h"

namespace vpn {

class StatusLog;

// The three main-window fields as the connect command read them, UTF-8, untrimmed.
struct ConnectFields {
    std::string server;
    std::string user;
    std::string password;
};

// The connect and disconnect commands. One instance lives for the program's run and holds
// the connection state; every call blocks and is made from one worker thread at a time.
// Neither command throws: their failures reach the user only as status log lines.
class ConnectionControl {
public:
    // lookupAddress gives the public address text after a successful dial (it may throw;
    // its errors are swallowed there).
    ConnectionControl(DialUpService& service, StatusLog& log,
                      std::function<std::string()> lookupAddress);

    // Checks the fields (all filled, short enough for the dial-up records), writes the entry
    // and dials it unless a connection of that entry is already active.
    void ConnectCommand(const ConnectFields& fields);
    // Hangs up what this instance dialed or found, then deletes the entry, connected or not.
    void DisconnectCommand();

    // The state the commands keep, for the front ends and the tests.
    const std::string& EntryName() const { return entryName_; }
    const ConnectionHandle& CurrentConnection() const { return currentConnection_; }

private:
    void DialVpn(const std::string& entryName, const std::string& user,
                 const std::string& password);
    void RefreshConnections();
    ConnectionHandle FindConnection(const std::string& name);
    void HangUpVpn();

    DialUpService& service_;
    StatusLog& log_;
    std::function<std::string()> lookupAddress_;
    std::string entryName_;  // empty until a connect command passed the checks
    std::vector<ActiveConnection> connectionTable_;
    ConnectionHandle currentConnection_;
};

}  // namespace vpn
