#pragma once

#include <string>

namespace vpn {

// The status log: one UTF-8 line per entry, no time stamp, no level. The commands write to it
// from the worker thread; each front end delivers the lines to its own output in order.
class StatusLog {
public:
    virtual ~StatusLog() = default;
    virtual void AddLog(const std::string& line) = 0;
};

}  // namespace vpn
