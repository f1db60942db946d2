#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vpn::test {

struct ProgramResult {
    int exitStatus = -1;  // the exit code; -1 when a signal ended the program
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs the program at argv[0] (a path: no shell, no PATH search) with the remaining words as
// its arguments, `input` on its standard input (a pipe; at most a pipe's buffer, 64 KiB), and
// collects what it writes. A program still running after `timeout` is killed, and timedOut
// says so.
ProgramResult runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::string& input = {});

}  // namespace vpn::test
