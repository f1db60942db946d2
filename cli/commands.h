#pragma once

#include <string>
#include <vector>

namespace vpn::cli {

// Each sub-command takes the words after its name and returns the process exit status:
// 0 success, 1 failure, 2 usage error (thrown as UsageError and reported by main).
int runWhoami(const std::vector<std::string>& args);
int runConnect(const std::vector<std::string>& args);
int runDisconnect(const std::vector<std::string>& args);
int runPing(const std::vector<std::string>& args);
int runServers(const std::vector<std::string>& args);

}  // namespace vpn::cli
