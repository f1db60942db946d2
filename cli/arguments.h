#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace vpn::cli {

// A command line that does not fit the command: exit status 2 with the message.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The arguments of one sub-command: options with a value ("--name VALUE" or "--name=VALUE"),
// flags ("--json") and positional words, in order. Anything else is a UsageError.
struct Arguments {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    std::vector<std::string> positional;

    std::string value(const std::string& name, const std::string& fallback) const;
    bool has(const std::string& flag) const { return flags.count(flag) != 0; }
};

Arguments parseArguments(const std::vector<std::string>& args,
                         const std::set<std::string>& valueOptions,
                         const std::set<std::string>& flagOptions);

}  // namespace vpn::cli
