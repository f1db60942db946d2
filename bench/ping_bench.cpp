// One ping run over 150 targets, against the same targets pinged one after another (as a
// probe that waits for each echo would) and against fping. Prints figures; asserts nothing.
//
//   ping_bench [--full-sequential]
//
// The one-after-another run takes about 50 × 4 s; by default it is measured on the answering
// targets and three silent ones, and the full figure is derived from those. With
// --full-sequential all 150 are measured (about 200 s).

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "servers/echo_probe.h"
#include "tests/support/net_namespace.h"
#include "tests/support/run_program.h"

namespace {

using Clock = std::chrono::steady_clock;
using vpn::test::EchoTestNetwork;

constexpr std::size_t kAnswering = 100;
constexpr std::size_t kSilent = 50;
constexpr std::size_t kSilentSample = 3;
constexpr double kTimeoutSeconds = vpn::kEchoTimeoutMs / 1000.0;
constexpr double kGoalFactor = 1.05;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Outcome {
    double seconds = 0;
    std::size_t answered = 0;
    std::size_t timedOut = 0;
};

// One probe run over targets, in the client namespace.
Outcome probeOnce(const EchoTestNetwork& network, const std::vector<std::string>& targets) {
    return network.client().run([&] {
        Outcome outcome;
        const Clock::time_point start = Clock::now();
        vpn::createEchoProbe()->run(
            targets,
            [&](std::size_t, const std::string& result) {
                ++(result == vpn::kEchoTimedOut ? outcome.timedOut : outcome.answered);
            },
            {});
        outcome.seconds = secondsSince(start);
        return outcome;
    });
}

// Each target in a run of its own, the next one only after the previous one's result.
Outcome probeOneAfterAnother(const EchoTestNetwork& network,
                             const std::vector<std::string>& targets) {
    Outcome total;
    for (const std::string& target : targets) {
        const Outcome one = probeOnce(network, {target});
        total.seconds += one.seconds;
        total.answered += one.answered;
        total.timedOut += one.timedOut;
    }
    return total;
}

Outcome fping(const EchoTestNetwork& network, const std::vector<std::string>& targets) {
    std::vector<std::string> argv = {"/usr/sbin/ip",   "netns", "exec",  network.client().name(),
                                     "/usr/bin/fping", "-c1",   "-t4000"};
    argv.insert(argv.end(), targets.begin(), targets.end());
    const Clock::time_point start = Clock::now();
    const vpn::test::ProgramResult result = vpn::test::runProgram(argv, std::chrono::seconds(60));
    Outcome outcome;
    outcome.seconds = secondsSince(start);
    // fping -c prints one summary line per target on stderr: "... xmt/rcv/%loss = 1/1/0%, ...".
    for (std::size_t at = result.err.find("xmt/rcv/%loss = "); at != std::string::npos;
         at = result.err.find("xmt/rcv/%loss = ", at + 1)) {
        ++(result.err.compare(at + 16, 3, "1/1") == 0 ? outcome.answered : outcome.timedOut);
    }
    return outcome;
}

void printRow(const char* kind, const std::string& what, const Outcome& outcome) {
    std::printf("  %-9s %-52s %8.3f s  (%zu answered, %zu timed out)\n", kind, what.c_str(),
                outcome.seconds, outcome.answered, outcome.timedOut);
    std::fflush(stdout);  // rows show as they are measured, also when piped
}

}  // namespace

int main(int argc, char** argv) {
    const bool fullSequential = argc > 1 && std::strcmp(argv[1], "--full-sequential") == 0;
    if (argc > 2 || (argc == 2 && !fullSequential)) {
        std::cerr << "usage: ping_bench [--full-sequential]\n";
        return 2;
    }
    if (::geteuid() != 0) {
        std::cout << "ping_bench: skipped: needs root (creates network namespaces and opens "
                     "ICMP sockets)\n";
        return 0;
    }

    vpn::test::removeStaleNamespaces("vpnbench");
    const EchoTestNetwork network("vpnbench", kSilent);
    std::vector<std::string> answering;
    for (std::size_t i = 1; i <= kAnswering; ++i) {
        answering.push_back("127.0.0." + std::to_string(i));
    }
    const std::vector<std::string>& silent = network.silentHosts();
    std::vector<std::string> targets = answering;
    targets.insert(targets.end(), silent.begin(), silent.end());

    std::printf(
        "ping_bench: %zu targets: %zu answering (127.0.0.1 … 127.0.0.%zu), %zu silent "
        "behind a veth peer; time-out %d ms\n",
        targets.size(), kAnswering, kAnswering, kSilent, vpn::kEchoTimeoutMs);
    std::fflush(stdout);

    // A new namespace refuses datagram ICMP sockets, so the probe takes a raw one first.
    const Outcome raw = probeOnce(network, targets);
    printRow("measured", "ours, one run, raw socket", raw);
    network.allowDatagramSockets();
    const Outcome datagram = probeOnce(network, targets);
    printRow("measured", "ours, one run, datagram socket", datagram);

    Outcome sequential;
    if (fullSequential) {
        sequential = probeOneAfterAnother(network, targets);
        printRow("measured", "one after another, all " + std::to_string(targets.size()),
                 sequential);
    } else {
        const Outcome answeringPart = probeOneAfterAnother(network, answering);
        printRow("measured", "one after another, the " + std::to_string(kAnswering) + " answering",
                 answeringPart);
        const Outcome silentPart = probeOneAfterAnother(
            network, std::vector<std::string>(silent.begin(), silent.begin() + kSilentSample));
        printRow("measured", "one after another, " + std::to_string(kSilentSample) + " silent",
                 silentPart);
        const double perSilent = silentPart.seconds / kSilentSample;
        sequential = {answeringPart.seconds + kSilent * perSilent, answeringPart.answered, kSilent};
        char what[96];
        std::snprintf(what, sizeof what, "one after another, all %zu (%.3f + %zu × %.3f s)",
                      targets.size(), answeringPart.seconds, kSilent, perSilent);
        printRow("derived", what, sequential);
    }

    const Outcome fpingRun = fping(network, targets);
    printRow("measured", "fping -c1 -t4000 (through ip netns exec)", fpingRun);

    const double goal = kGoalFactor * kTimeoutSeconds;
    const double ours = std::max(raw.seconds, datagram.seconds);
    const bool met = ours <= goal && ours < fpingRun.seconds;
    std::printf(
        "goal: ours within %.2f × %.1f s = %.2f s and ahead of fping (%.3f s): %s "
        "(slower of our two runs %.3f s, %.1f× faster than one after another)\n",
        kGoalFactor, kTimeoutSeconds, goal, fpingRun.seconds, met ? "met" : "NOT met", ours,
        sequential.seconds / ours);
    return 0;
}
