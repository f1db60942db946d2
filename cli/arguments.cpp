#include "cli/arguments.h"

namespace vpn::cli {

std::string Arguments::value(const std::string& name, const std::string& fallback) const {
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

Arguments parseArguments(const std::vector<std::string>& args,
                         const std::set<std::string>& valueOptions,
                         const std::set<std::string>& flagOptions) {
    Arguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const auto eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (valueOptions.count(name) != 0) {
            if (eq != std::string::npos) {
                parsed.values[name] = arg.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                parsed.values[name] = args[++i];
            } else {
                throw UsageError(name + " needs a value");
            }
        } else if (flagOptions.count(name) != 0 && eq == std::string::npos) {
            parsed.flags.insert(name);
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    return parsed;
}

}  // namespace vpn::cli
