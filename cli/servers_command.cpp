#include <algorithm>
#include <array>
#include <iostream>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/display_width.h"
#include "cli/escaped_error.h"
#include "cli/json_writer.h"
#include "net/default_urls.h"
#include "net/http_client.h"
#include "servers/server_list.h"

namespace vpn::cli {
namespace {

constexpr std::size_t kColumnCount = 6;
using Line = std::array<std::string, kColumnCount>;

// The dialog's columns apart from Ping, with its 1-based row numbers first.
void printTable(const std::vector<ServerRecord>& rows) {
    std::vector<Line> lines = {{"", "服务器地理位置", "最新服务器", "用户名", "密码", "可用时间"}};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ServerRecord& row = rows[i];
        // Text from the network never reaches the terminal as control characters.
        lines.push_back({std::to_string(i + 1), escapeControlCharacters(row.location),
                         escapeControlCharacters(row.server), escapeControlCharacters(row.user),
                         escapeControlCharacters(row.password),
                         escapeControlCharacters(row.availableTime)});
    }
    std::array<std::size_t, kColumnCount> widths{};
    for (const Line& line : lines) {
        for (std::size_t column = 0; column < kColumnCount; ++column) {
            widths[column] = std::max(widths[column], displayWidth(line[column]));
        }
    }
    for (const Line& line : lines) {
        std::string text;
        for (std::size_t column = 0; column < kColumnCount; ++column) {
            if (column > 0) {
                text.append(widths[column - 1] - displayWidth(line[column - 1]) + 2, ' ');
            }
            text += line[column];
        }
        text.erase(text.find_last_not_of(' ') + 1);
        std::cout << text << '\n';
    }
}

void printJson(const std::vector<ServerRecord>& rows) {
    std::vector<std::string> objects;
    objects.reserve(rows.size());
    for (const ServerRecord& row : rows) {
        objects.push_back(jsonObject({{"location", row.location},
                                      {"server", row.server},
                                      {"user", row.user},
                                      {"password", row.password},
                                      {"availableTime", row.availableTime}}));
    }
    writeJsonArray(std::cout, objects);
}

}  // namespace

// Downloads the directory as the server dialog does and prints the rows it would show.
int runServers(const std::vector<std::string>& args) {
    const Arguments parsed = parseArguments(args, {"--directory-url"}, {"--json"});
    if (!parsed.positional.empty()) {
        throw UsageError("servers takes no arguments");
    }
    ParsedDirectory directory;
    try {
        const auto client = createHttpClient();
        directory =
            FetchServerDirectory(*client, parsed.value("--directory-url", kDefaultDirectoryUrl));
    } catch (...) {
        return reportEscapedError("servers");
    }
    if (directory.truncated) {
        std::cerr << kTooManyServers << '\n';
    }
    if (parsed.has("--json")) {
        printJson(directory.rows);
    } else {
        printTable(directory.rows);
    }
    return 0;
}

}  // namespace vpn::cli
