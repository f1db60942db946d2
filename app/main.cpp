#include <QApplication>
#include <QFile>
#include <QIcon>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "app/first_paint_reporter.h"
#include "app/lazy_services.h"
#include "app/main_window.h"
#include "cli/arguments.h"
#include "net/default_urls.h"
#include "servers/echo_probe.h"
#include "servers/server_dialog.h"
#include "version.h"

namespace {

using vpn::cli::UsageError;

constexpr const char* kApplicationTitle = "青禾鹭Vpn连接器 V1.0";
constexpr const char* kUsage =
    "Usage: vpn [--directory-url URL] [--lookup-url URL]\n"
    "       vpn --help | --version\n";

void printHelp() {
    std::cout << kUsage << "\n"
              << kApplicationTitle
              << ": connects this computer to a server of the 青禾鹭 VPN provider over L2TP.\n\n"
                 "Options:\n"
                 "  --directory-url URL  the provider's server directory\n"
                 "                       (default "
              << vpn::kDefaultDirectoryUrl
              << ")\n"
                 "  --lookup-url URL     the page that shows the public address\n"
                 "                       (default "
              << vpn::kDefaultLookupUrl
              << ")\n"
                 "  --help               show this help and exit\n"
                 "  --version            show the version and exit\n\n"
                 "Qt takes its display settings from the environment (QT_QPA_PLATFORM, ...).\n"
                 "VPN_REPORT_FIRST_PAINT=1 writes \"first paint\" to standard error when the\n"
                 "window is first drawn (start-up timing).\n"
                 "Exit status: 0 normal end, 2 usage error.\n";
}

void printVersion() {
    std::cout << vpn::version::kDescription << " (vpn) " << vpn::version::kProductVersion << '\n'
              << "File version:    " << vpn::version::kFileVersion << '\n'
              << "Product version: " << vpn::version::kProductVersion << '\n'
              << "Company:         " << vpn::version::kCompany << '\n'
              << "Description:     " << vpn::version::kDescription << '\n';
}

// The HTTP client speaks plain HTTP only; anything else is a mistake worth saying at once.
std::string plainHttpUrl(const vpn::cli::Arguments& arguments, const std::string& option,
                         const char* fallback) {
    std::string url = arguments.value(option, fallback);
    const std::string scheme = "http://";
    bool plainHttp = url.size() > scheme.size();
    for (std::size_t i = 0; plainHttp && i < scheme.size(); ++i) {
        plainHttp = std::tolower(static_cast<unsigned char>(url[i])) == scheme[i];
    }
    if (!plainHttp) {
        throw UsageError(option + " needs a plain http:// URL, not '" + url + "'");
    }
    return url;
}

QString styleSheet() {
    QFile file(QStringLiteral(":/vpn_connector.qss"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

int main(int argc, char** argv) {
    std::string directoryUrl;
    std::string lookupUrl;
    try {
        const vpn::cli::Arguments arguments = vpn::cli::parseArguments(
            {argv + 1, argv + argc}, {"--directory-url", "--lookup-url"}, {"--help", "--version"});
        if (!arguments.positional.empty()) {
            throw UsageError("unexpected argument '" + arguments.positional.front() + "'");
        }
        if (arguments.has("--help")) {
            printHelp();
            return 0;
        }
        if (arguments.has("--version")) {
            printVersion();
            return 0;
        }
        directoryUrl = plainHttpUrl(arguments, "--directory-url", vpn::kDefaultDirectoryUrl);
        lookupUrl = plainHttpUrl(arguments, "--lookup-url", vpn::kDefaultLookupUrl);
    } catch (const UsageError& error) {
        std::cerr << "vpn: " << error.what() << '\n' << kUsage;
        return 2;
    }

    // The command line is ours alone: Qt's own options are not taken from it.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("vpn"));
    QApplication::setApplicationVersion(QString::fromUtf8(vpn::version::kProductVersion));

    // libcurl and libnm load on first use, on the worker thread that needs them, not here.
    vpn::ServicesModule services(vpn::ServicesModule::besideProgram());
    vpn::LazyDialUpService dialUpService(services);
    vpn::MainWindow window({.dialUpService = dialUpService,
                            .httpClient = std::make_unique<vpn::LazyHttpClient>(services),
                            .lookupUrl = lookupUrl});
    // The server dialog is made once, hidden, right after the window's first paint, and keeps
    // its rows between showings. It is destroyed before the window, whose status log it
    // writes to.
    std::unique_ptr<vpn::ServerDialog> serverDialog;
    const auto makeServerDialog = [&] {
        if (!serverDialog) {
            serverDialog = std::make_unique<vpn::ServerDialog>(
                vpn::ServerDialogServices{
                    .httpClient = std::make_unique<vpn::LazyHttpClient>(services),
                    .createProbe = vpn::createEchoProbe,
                    .directoryUrl = directoryUrl},
                window.statusLog(),
                [&window](const std::string& server, const std::string& user,
                          const std::string& password) {
                    window.setConnectFields({server, user, password});
                },
                &window);
        }
    };
    QObject::connect(&window, &vpn::MainWindow::firstPaintDone, &window, [&] {
        makeServerDialog();
        // The window has registered the program's resources by now.
        QApplication::setWindowIcon(QIcon(QStringLiteral(":/vpn-connector.png")));
    });
    QObject::connect(&window, &vpn::MainWindow::serverDialogRequested, &window, [&] {
        makeServerDialog();
        serverDialog->exec();
    });
    app.setStyleSheet(styleSheet());
    vpn::FirstPaintReporter::watchIfRequested(window);
    window.show();

    const int status = QApplication::exec();
    if (window.abandonedWork()) {
        // A call into the VPN service never returned and its thread still uses the service:
        // end here rather than destroy objects under it.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
