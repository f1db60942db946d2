#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace vpn {

inline constexpr const char* kEchoPayload = "Test Net - Kelvardin";  // 20 bytes, no terminator
inline constexpr int kEchoTtl = 64;
inline constexpr int kEchoTimeoutMs = 4000;
inline constexpr const char* kEchoTimedOut = "超时";
// The log line when the probe cannot be set up: this prefix followed by the error's message.
inline constexpr const char* kProbeSetupFailedPrefix = "无法进行Ping测试：";

// The probe could not be set up (no ICMP socket, no library). Its message says why.
class ProbeSetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Measures the round-trip time of one ICMP echo per address, all in flight at once.
class EchoProbe {
public:
    using ResultCallback = std::function<void(std::size_t index, const std::string& result)>;

    virtual ~EchoProbe() = default;
    // Sends the fixed echo to every non-empty address and calls onResult, on the calling
    // thread, as each result becomes known: "<n>ms" or "超时". Empty addresses get no call;
    // every other index gets exactly one, unless the stop comes first. Host names are resolved
    // to IPv4 first; a name that does not resolve, an ICMP error and silence all give "超时".
    // Returns when every address has its result or promptly once the stop is requested.
    // Throws ProbeSetupError when no socket can be opened.
    virtual void run(const std::vector<std::string>& addresses, const ResultCallback& onResult,
                     std::stop_token stop) = 0;
};

std::unique_ptr<EchoProbe> createEchoProbe();

}  // namespace vpn
