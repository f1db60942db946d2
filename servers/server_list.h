#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vpn {

class HttpClient;

// One VPN server of the provider's directory, decoded for display (UTF-8).
struct ServerRecord {
    std::string location;
    std::string server;  // address used for dialing and pinging
    std::string user;
    std::string password;
    std::string availableTime;
};

inline constexpr std::size_t kServerTableRows = 150;
inline constexpr const char* kTooManyServers = "服务器列表超过150个，只显示前150个。";

// The outcome of parsing one directory body.
struct ParsedDirectory {
    std::vector<std::string> stagingLines;  // one line per record, as split (raw bytes)
    std::vector<ServerRecord> rows;         // the rows to show, at most kServerTableRows
    bool truncated = false;                 // more records were sent than rows are shown
};

ParsedDirectory ParseServerList(std::string_view body, bool declaredUtf8 = false);

// Helpers of the parser, on raw bytes.
void NewlinesToSpaces(std::string& text);
std::size_t CountChar(std::string_view text, char ch);
std::vector<std::string> SplitFields(std::string_view line);

// Downloads and parses the directory: one GET, and after a failure Disconnect and one more
// GET. The second failure propagates (SocketError, HttpError).
ParsedDirectory FetchServerDirectory(HttpClient& client, const std::string& directoryUrl);

}  // namespace vpn
