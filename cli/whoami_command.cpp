#include <iostream>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/escaped_error.h"
#include "net/address_lookup.h"
#include "net/default_urls.h"
#include "net/http_client.h"

namespace vpn::cli {

// Prints exactly the line the main window logs at start-up.
int runWhoami(const std::vector<std::string>& args) {
    const Arguments parsed = parseArguments(args, {"--lookup-url"}, {});
    if (!parsed.positional.empty()) {
        throw UsageError("whoami takes no arguments");
    }
    const std::string url = parsed.value("--lookup-url", kDefaultLookupUrl);
    try {
        const auto client = createHttpClient();
        std::cout << LookupAddressLocation(*client, url) << '\n';
        return 0;
    } catch (...) {
        return reportEscapedError("whoami");
    }
}

}  // namespace vpn::cli
