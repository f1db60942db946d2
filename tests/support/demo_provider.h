#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vpn::test {

// scripts/demo_provider.py running on an ephemeral loopback port for one test. The
// constructor returns once the port is known (or throws with the script's output); the
// destructor stops the script by its process id and removes its files.
class DemoProvider {
public:
    enum class Mode { Serve, Stall };
    explicit DemoProvider(Mode mode = Mode::Serve);
    ~DemoProvider();
    DemoProvider(const DemoProvider&) = delete;
    DemoProvider& operator=(const DemoProvider&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url(std::string_view path) const;
    // What the script has written to stdout and stderr so far.
    std::string output() const;

    // The sample directory the script serves, as stored.
    static std::string sampleDirectoryPath();

private:
    void stop();

    std::string directory_;  // holds the port file and the output
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace vpn::test
