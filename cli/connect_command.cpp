#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <string>

#include "app/status_log.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "net/address_lookup.h"
#include "net/default_urls.h"
#include "net/http_client.h"
#include "vpn/connection_control.h"
#include "vpn/dial_up_service.h"

namespace vpn::cli {
namespace {

constexpr const char* kConnectedLine = "连接成功。";
constexpr const char* kAlreadyActiveLine = "连接已经激活。";

// Prints each line the main window would log, as it comes, and notes whether the connection
// is up.
class StdoutLog : public StatusLog {
public:
    void AddLog(const std::string& line) override {
        std::cout << line << std::endl;
        ++lines_;
        if (line == kConnectedLine || line == kAlreadyActiveLine) {
            connected_ = true;
        }
    }
    bool connected() const { return connected_; }
    bool silent() const { return lines_ == 0; }

private:
    bool connected_ = false;
    int lines_ = 0;
};

// The terminal settings in force before echo was turned off, put back by a signal that
// ends the program while the password is being typed.
termios savedTerminal;

void restoreTerminalAndDie(int signal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

std::string readLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// Asks on the terminal without echoing what is typed.
std::string askPassword() {
    std::cerr << "VPN-密码：" << std::flush;
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        return readLine(std::cin);
    }
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int s : signals) {
        std::signal(s, restoreTerminalAndDie);
    }
    termios silent = savedTerminal;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    std::string password = readLine(std::cin);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    for (int s : signals) {
        std::signal(s, SIG_DFL);
    }
    std::cerr << '\n';
    return password;
}

// Never from the arguments, which every user of the machine can read.
std::string readPassword() {
    return isatty(STDIN_FILENO) != 0 ? askPassword() : readLine(std::cin);
}

}  // namespace

// Runs the main window's connect command and prints its log lines.
int runConnect(const std::vector<std::string>& args) {
    const Arguments parsed = parseArguments(args, {"--lookup-url"}, {});
    if (parsed.positional.size() != 2) {
        throw UsageError("connect takes SERVER and USER; the password is read from standard input");
    }
    const std::string url = parsed.value("--lookup-url", kDefaultLookupUrl);
    ConnectFields fields{parsed.positional[0], parsed.positional[1], readPassword()};
    StdoutLog log;
    try {
        const auto service = createDialUpService();
        const auto client = createHttpClient();
        ConnectionControl control(*service, log,
                                  [&] { return LookupAddressLocation(*client, url); });
        control.ConnectCommand(fields);
        if (log.silent()) {
            // The window says nothing when the profile cannot be written; a terminal user
            // still wants to know why.
            const std::string reason = service->unavailableReason();
            std::cerr << "vpnctl: connect: not connected: "
                      << (reason.empty() ? "the dial-up service did not take the VPN profile"
                                         : reason)
                      << '\n';
        }
    } catch (const std::exception& error) {
        std::cerr << "vpnctl: connect: " << error.what() << '\n';
    }
    std::fill(fields.password.begin(), fields.password.end(), '\0');
    return log.connected() ? 0 : 1;
}

// Runs the main window's disconnect command: hang up and delete the profile.
int runDisconnect(const std::vector<std::string>& args) {
    const Arguments parsed = parseArguments(args, {}, {});
    if (!parsed.positional.empty()) {
        throw UsageError("disconnect takes no arguments");
    }
    StdoutLog log;
    try {
        const auto service = createDialUpService();
        ConnectionControl control(*service, log, {});
        control.DisconnectCommand();
    } catch (const std::exception& error) {
        std::cerr << "vpnctl: disconnect: " << error.what() << '\n';
        return 1;
    }
    return 0;
}

}  // namespace vpn::cli
