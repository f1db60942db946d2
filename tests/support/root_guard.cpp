#include "tests/support/root_guard.h"

#include <unistd.h>

namespace vpn::test {

std::string whyNotRoot() {
    if (geteuid() != 0) {
        return "needs root: creates network namespaces and opens raw sockets";
    }
    return {};
}

}  // namespace vpn::test
