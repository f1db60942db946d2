// Start-up time of the connector: from process start to the main window's first paint, with the
// address page stalled (a loopback server that accepts and never answers), next to a minimal Qt
// window program started the same way. Both report their first paint on standard error
// (VPN_REPORT_FIRST_PAINT=1). Without a display both use Qt's offscreen platform; run the
// benchmark under xvfb-run to compare them on a real X server instead.
//
// Usage: startup_bench [--runs N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_http_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;

// Starts the program and returns the time until it reports its first paint, or nothing when it
// does not within the time-out. The program is ended either way.
std::optional<double> timeToFirstPaint(const std::vector<std::string>& command) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("startup_bench: pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);

    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        std::cerr << "startup_bench: cannot start " << command[0] << ": " << std::strerror(spawned)
                  << '\n';
        std::exit(1);
    }

    std::optional<double> elapsed;
    std::string output;
    const Clock::time_point deadline = start + std::chrono::seconds(20);
    while (!elapsed && Clock::now() < deadline) {
        pollfd readable{pipeFds[0], POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) {
            continue;
        }
        char buffer[512];
        const ssize_t count = read(pipeFds[0], buffer, sizeof buffer);
        if (count <= 0) {
            break;  // the program ended without painting
        }
        output.append(buffer, static_cast<std::size_t>(count));
        if (output.find("first paint\n") != std::string::npos) {
            elapsed = Millis(Clock::now() - start).count();
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    close(pipeFds[0]);
    if (!elapsed) {
        std::cerr << "startup_bench: " << command[0] << " did not report a first paint:\n"
                  << output;
    }
    return elapsed;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void printRun(const char* name, const std::vector<double>& times) {
    std::printf("%-16s median %7.1f ms   runs:", name, median(times));
    for (const double time : times) {
        std::printf(" %.1f", time);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 9;
    if (argc == 3 && std::strcmp(argv[1], "--runs") == 0 && std::atoi(argv[2]) > 0) {
        runs = std::atoi(argv[2]);
    } else if (argc != 1) {
        std::cerr << "Usage: startup_bench [--runs N]\n";
        return 2;
    }
    if (std::getenv("DISPLAY") == nullptr && std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    setenv("VPN_REPORT_FIRST_PAINT", "1", 1);
    const char* platform = std::getenv("QT_QPA_PLATFORM");

    // The address page accepts and never answers, as on a network that swallows packets.
    vpn::test::TestHttpServer server;
    vpn::test::CannedResponse stalled;
    stalled.behaviour = vpn::test::Behaviour::StallBeforeHeaders;
    server.serve("/ip2city.asp", stalled);
    const std::vector<std::string> connector = {VPN_PROGRAM, "--lookup-url",
                                                server.url("/ip2city.asp"), "--directory-url",
                                                server.url("/server.txt")};
    const std::vector<std::string> minimal = {MINIMAL_WINDOW_PROGRAM};

    // One start of each first, so that both find the libraries and fonts in the page cache.
    timeToFirstPaint(minimal);
    timeToFirstPaint(connector);
    std::vector<double> minimalTimes;
    std::vector<double> connectorTimes;
    for (int run = 0; run < runs; ++run) {
        const auto minimalTime = timeToFirstPaint(minimal);
        const auto connectorTime = timeToFirstPaint(connector);
        if (!minimalTime || !connectorTime) {
            return 1;
        }
        minimalTimes.push_back(*minimalTime);
        connectorTimes.push_back(*connectorTime);
    }

    std::printf("Start-up to first paint, %d runs each, platform %s, address page stalled\n", runs,
                platform != nullptr ? platform : "xcb (DISPLAY)");
    printRun("minimal window", minimalTimes);
    printRun("vpn", connectorTimes);
    std::printf("ratio vpn / minimal: %.2f (goal: at most 1.30)\n",
                median(connectorTimes) / median(minimalTimes));
    return 0;
}
