#include "tests/support/demo_provider.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace vpn::test {
namespace {

using namespace std::chrono_literals;

// Debian's interpreter: a python3 earlier on PATH may lack modules.
constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartLimit = 10s;
constexpr auto kStopLimit = 5s;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool reaped(pid_t pid) {
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    return done != 0;  // reaped now, or no longer our child
}

}  // namespace

std::string DemoProvider::sampleDirectoryPath() {
    return VPN_SOURCE_DIR "/resources/demo/server.txt";
}

DemoProvider::DemoProvider(Mode mode) {
    const std::filesystem::path temp =
        std::filesystem::temp_directory_path() / "demo-provider-XXXXXX";
    std::string pattern = temp.string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    directory_ = pattern;
    const std::string portFile = directory_ + "/port";
    const std::string outputFile = directory_ + "/output";

    std::vector<std::string> argv = {kPython,       VPN_SOURCE_DIR "/scripts/demo_provider.py",
                                     "--port",      "0",
                                     "--port-file", portFile};
    if (mode == Mode::Stall) {
        argv.push_back("--stall");
    }
    std::vector<char*> words;
    for (std::string& word : argv) {
        words.push_back(word.data());
    }
    words.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = posix_spawn(&pid_, kPython, &actions, nullptr, words.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        stop();
        throw std::runtime_error(std::string("cannot start the demo provider: ") +
                                 std::strerror(spawned));
    }

    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (port_ == 0) {
        const std::string text = readFile(portFile);
        if (!text.empty()) {
            port_ = static_cast<std::uint16_t>(std::stoi(text));
        } else if (reaped(pid_) || std::chrono::steady_clock::now() > deadline) {
            const std::string why = output();
            stop();
            throw std::runtime_error("the demo provider did not start: " + why);
        } else {
            std::this_thread::sleep_for(20ms);
        }
    }
}

DemoProvider::~DemoProvider() {
    stop();
}

std::string DemoProvider::url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::string DemoProvider::output() const {
    return readFile(directory_ + "/output");
}

void DemoProvider::stop() {
    if (pid_ > 0 && !reaped(pid_)) {
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
        while (!reaped(pid_)) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
    }
    pid_ = -1;
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

}  // namespace vpn::test
