#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "version.h"

namespace {

using vpn::cli::UsageError;

struct Command {
    const char* name;
    const char* synopsis;
    int (*run)(const std::vector<std::string>&);
};

const Command kCommands[] = {
    {"whoami",
     "whoami [--lookup-url URL]\n      show the public address and location this machine is seen "
     "from",
     vpn::cli::runWhoami},
    {"connect",
     "connect SERVER USER [--lookup-url URL]\n      write the VPN profile and dial it; the "
     "password is read from standard input\n      (asked for without echo on a terminal)",
     vpn::cli::runConnect},
    {"disconnect", "disconnect\n      hang up and delete the VPN profile", vpn::cli::runDisconnect},
    {"ping",
     "ping [--json] (ADDRESS... | --directory-url URL)\n      ping all addresses (or the "
     "directory's servers) at once and print each round-trip time",
     vpn::cli::runPing},
    {"servers",
     "servers [--directory-url URL] [--json]\n      download the server directory and print the "
     "rows the server dialog shows",
     vpn::cli::runServers},
};

void printHelp(std::ostream& out) {
    out << "Usage: vpnctl COMMAND [OPTIONS]\n"
           "       vpnctl --help | --version\n\n"
           "The 青禾鹭 VPN connector from a terminal. Commands:\n";
    for (const Command& command : kCommands) {
        out << "  " << command.synopsis << '\n';
    }
    out << "\nExit status: 0 success, 1 failure, 2 usage error.\n";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    if (words.empty()) {
        printHelp(std::cerr);
        return 2;
    }
    if (words[0] == "--help" || words[0] == "-h" || words[0] == "help") {
        printHelp(std::cout);
        return 0;
    }
    if (words[0] == "--version") {
        std::cout << "vpnctl " << vpn::version::kProductVersion << " (file version "
                  << vpn::version::kFileVersion << ")\n"
                  << vpn::version::kDescription << " — " << vpn::version::kCompany << '\n';
        return 0;
    }
    for (const Command& command : kCommands) {
        if (words[0] == command.name) {
            try {
                return command.run({words.begin() + 1, words.end()});
            } catch (const UsageError& error) {
                std::cerr << "vpnctl " << command.name << ": " << error.what() << "\nUsage: vpnctl "
                          << command.synopsis << '\n';
                return 2;
            }
        }
    }
    std::cerr << "vpnctl: unknown command '" << words[0] << "' (see vpnctl --help)\n";
    return 2;
}
