#pragma once

#include <string>

namespace vpn::test {

// Empty when the test may use namespaces and raw sockets, else the reason to skip.
std::string whyNotRoot();

}  // namespace vpn::test

// Skips the current test with a clear reason when not running as root.
#define VPN_REQUIRE_ROOT()                                                         \
    do {                                                                           \
        if (const std::string reason = ::vpn::test::whyNotRoot(); !reason.empty()) \
            GTEST_SKIP() << reason;                                                \
    } while (false)
