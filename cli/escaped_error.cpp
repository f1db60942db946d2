#include "cli/escaped_error.h"

#include <exception>
#include <iostream>

#include "app/error_hook.h"

namespace vpn::cli {

int reportEscapedError(const char* command) {
    const std::exception_ptr error = std::current_exception();
    if (const auto line = logLineForEscapedError(error)) {
        std::cout << *line << '\n';
        return 1;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        std::cerr << "vpnctl: " << command << ": " << failure.what() << '\n';
    } catch (...) {
        std::cerr << "vpnctl: " << command << ": unexpected error\n";
    }
    return 1;
}

}  // namespace vpn::cli
