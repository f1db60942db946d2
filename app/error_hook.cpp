#include "app/error_hook.h"

#include "net/http_client.h"

namespace vpn {

std::optional<std::string> logLineForEscapedError(const std::exception_ptr& error) {
    if (!error) {
        return std::nullopt;
    }
    try {
        std::rethrow_exception(error);
    } catch (const SocketError& socketError) {
        return std::string(kNetworkErrorPrefix) + socketError.what();
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace vpn
