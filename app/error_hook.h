#pragma once

#include <exception>
#include <optional>
#include <string>

namespace vpn {

inline constexpr const char* kNetworkErrorPrefix = "你确定能联网么？错误提示：";

// The program-wide rule for errors that escape a command: a socket-level network failure
// becomes one log line, "你确定能联网么？错误提示：" followed by its message; every other error
// leaves no trace. Never a dialog.
std::optional<std::string> logLineForEscapedError(const std::exception_ptr& error);

}  // namespace vpn
