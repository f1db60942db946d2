#include <algorithm>
#include <iostream>
#include <stop_token>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/display_width.h"
#include "cli/escaped_error.h"
#include "cli/json_writer.h"
#include "net/http_client.h"
#include "servers/echo_probe.h"
#include "servers/server_list.h"

namespace vpn::cli {
namespace {

void printColumns(const std::vector<std::string>& addresses,
                  const std::vector<std::string>& results) {
    std::vector<std::string> shown;
    std::size_t width = 0;
    for (const std::string& address : addresses) {
        shown.push_back(escapeControlCharacters(address));
        width = std::max(width, displayWidth(shown.back()));
    }
    for (std::size_t i = 0; i < shown.size(); ++i) {
        std::cout << shown[i];
        if (!results[i].empty()) {
            std::cout << std::string(width - displayWidth(shown[i]) + 2, ' ') << results[i];
        }
        std::cout << '\n';
    }
}

void printJson(const std::vector<std::string>& addresses, const std::vector<std::string>& results) {
    std::vector<std::string> objects;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        objects.push_back(jsonObject({{"address", addresses[i]}, {"result", results[i]}}));
    }
    writeJsonArray(std::cout, objects);
}

}  // namespace

// One ping run over the given addresses, or over the servers of a directory in its order.
// Every address is printed with its result once the run has ended; an empty address (a row
// without a server) keeps an empty result, as its cell in the window does.
int runPing(const std::vector<std::string>& args) {
    const Arguments parsed = parseArguments(args, {"--directory-url"}, {"--json"});
    const bool fromDirectory = parsed.values.count("--directory-url") != 0;
    if (fromDirectory && !parsed.positional.empty()) {
        throw UsageError("give either addresses or --directory-url, not both");
    }
    if (!fromDirectory && parsed.positional.empty()) {
        throw UsageError("nothing to ping: give an ADDRESS or --directory-url URL");
    }

    std::vector<std::string> addresses = parsed.positional;
    if (fromDirectory) {
        try {
            const auto client = createHttpClient();
            const ParsedDirectory directory =
                FetchServerDirectory(*client, parsed.value("--directory-url", ""));
            for (const ServerRecord& row : directory.rows) {
                addresses.push_back(row.server);
            }
            if (directory.truncated) {
                std::cerr << kTooManyServers << '\n';
            }
        } catch (...) {
            return reportEscapedError("ping");
        }
    }

    std::vector<std::string> results(addresses.size());
    try {
        createEchoProbe()->run(
            addresses,
            [&results](std::size_t index, const std::string& result) { results[index] = result; },
            std::stop_token{});
    } catch (const ProbeSetupError& error) {
        std::cout << kProbeSetupFailedPrefix << error.what() << '\n';
        return 1;
    }
    if (parsed.has("--json")) {
        printJson(addresses, results);
    } else {
        printColumns(addresses, results);
    }
    return 0;
}

}  // namespace vpn::cli
