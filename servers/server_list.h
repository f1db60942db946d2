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
    // The rows to show, in order: the records with at least one non-empty field, at most
    // kServerTableRows of them. Fields a record leaves out are empty.
    std::vector<ServerRecord> rows;
    bool truncated = false;  // more records with content were sent than rows are shown
    bool utf8 = false;       // the body is UTF-8 (valid or declared); otherwise it is GBK
};

// Parses a directory body (raw bytes as served). declaredUtf8: the response named UTF-8.
ParsedDirectory ParseServerList(std::string_view body, bool declaredUtf8 = false);

// Raw directory bytes (a staging line, a field) as UTF-8, read in the body's encoding.
std::string DecodeDirectoryText(std::string_view bytes, bool utf8);

// Helpers of the parser, on raw bytes.
void NewlinesToSpaces(std::string& text);
std::size_t CountChar(std::string_view text, char ch);
std::vector<std::string> SplitFields(std::string_view line);

// Downloads and parses the directory: one GET, and after a failure Disconnect and one more
// GET. The second failure propagates (SocketError, HttpError).
ParsedDirectory FetchServerDirectory(HttpClient& client, const std::string& directoryUrl);

}  // namespace vpn
