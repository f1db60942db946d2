#include "tests/support/test_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vpn::test {
namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;
// Extra bytes a ShortBody response promises but never sends.
constexpr std::size_t kMissingBytes = 1000;

[[noreturn]] void failSystem(const char* what) {
    throw std::runtime_error(std::string("test HTTP server: ") + what + ": " +
                             std::strerror(errno));
}

// A TCP socket bound to 127.0.0.1 on an ephemeral port; returns the port through `port`.
int bindLoopback(std::uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failSystem("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        failSystem("bind");
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string loopbackUrl(std::uint16_t port, std::string_view path) {
    return "http://127.0.0.1:" + std::to_string(port) + std::string(path);
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 307:
            return "Temporary Redirect";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

}  // namespace

CannedResponse okResponse(std::string body, std::string contentType) {
    CannedResponse response;
    response.headers.emplace_back("Content-Type", std::move(contentType));
    response.body = std::move(body);
    return response;
}

CannedResponse redirectResponse(std::string location, int status) {
    CannedResponse response;
    response.status = status;
    response.headers.emplace_back("Location", std::move(location));
    response.body = "moved\n";
    return response;
}

TestHttpServer::TestHttpServer() {
    listenFd_ = bindLoopback(port_);
    int pipeFds[2];
    if (listen(listenFd_, SOMAXCONN) != 0 || pipe2(pipeFds, O_CLOEXEC) != 0) {
        const int saved = errno;
        close(listenFd_);
        errno = saved;
        failSystem("listen");
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    // One byte that nobody reads keeps the wake pipe readable for every waiting thread.
    const char byte = 0;
    (void)!write(wakeWrite_, &byte, 1);
    acceptThread_.join();
    {
        // Unblocks a thread stuck in send() to a client that stopped reading.
        std::lock_guard lock(mutex_);
        for (const int fd : openFds_) {
            shutdown(fd, SHUT_RDWR);
        }
    }
    for (std::thread& thread : connectionThreads_) {
        thread.join();
    }
    close(listenFd_);
    close(wakeRead_);
    close(wakeWrite_);
}

std::string TestHttpServer::url(std::string_view path) const {
    return loopbackUrl(port_, path);
}

void TestHttpServer::serve(const std::string& path, CannedResponse response) {
    std::lock_guard lock(mutex_);
    responses_[path] = std::move(response);
}

int TestHttpServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

int TestHttpServer::openConnectionCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(openFds_.size());
}

bool TestHttpServer::waitForOpenConnections(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return static_cast<int>(openFds_.size()) == count; });
}

std::vector<std::string> TestHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void TestHttpServer::acceptLoop() {
    while (waitReadableOrStop(listenFd_, -1)) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard lock(mutex_);
        ++accepted_;
        openFds_.insert(fd);
        connectionThreads_.emplace_back([this, fd] { serveConnection(fd); });
        changed_.notify_all();
    }
}

void TestHttpServer::serveConnection(int fd) {
    std::string buffer;
    std::string head;
    while (readRequest(fd, buffer, head)) {
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(head);
        }
        const CannedResponse response = responseFor(head);
        bool hasLength = false;
        bool closeAfter = false;
        std::string headers = "HTTP/1.1 " + std::to_string(response.status) + " " +
                              reasonPhrase(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers) {
            headers += name + ": " + value + "\r\n";
            hasLength = hasLength || lower(name) == "content-length";
            closeAfter = closeAfter || (lower(name) == "connection" && lower(value) == "close");
        }
        if (!hasLength) {
            const std::size_t promised =
                response.body.size() +
                (response.behaviour == Behaviour::ShortBody ? kMissingBytes : 0);
            headers += "Content-Length: " + std::to_string(promised) + "\r\n";
        }
        headers += "\r\n";
        // One send per part keeps small answers in one segment (no delayed-ACK pause).
        const std::string whole = headers + response.body;
        const std::string firstHalf = headers + response.body.substr(0, response.body.size() / 2);

        switch (response.behaviour) {
            case Behaviour::Answer:
                if (!sendAll(fd, whole)) {
                    closeConnection(fd);
                    return;
                }
                if (closeAfter) {
                    closeGracefully(fd);
                    return;
                }
                continue;
            case Behaviour::StallBeforeHeaders:
                break;
            case Behaviour::StallMidBody:
                sendAll(fd, firstHalf);
                break;
            case Behaviour::ResetMidBody: {
                sendAll(fd, firstHalf);
                // Let the client take the first half before the reset throws it out.
                waitReadableOrStop(fd, 100);
                const linger abortive{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                closeConnection(fd);
                return;
            }
            case Behaviour::ShortBody:
                sendAll(fd, whole);
                closeGracefully(fd);
                return;
            case Behaviour::CloseWithoutAnswer:
                closeGracefully(fd);
                return;
            case Behaviour::RawBody:
                sendAll(fd, response.body);
                closeGracefully(fd);
                return;
        }
        // A stall: stay silent until the client gives up or the server stops.
        char sink[4096];
        while (waitReadableOrStop(fd, -1) && recv(fd, sink, sizeof sink, 0) > 0) {
        }
        closeConnection(fd);
        return;
    }
    closeConnection(fd);
}

bool TestHttpServer::readRequest(int fd, std::string& buffer, std::string& head) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > kMaxRequestHead || !waitReadableOrStop(fd, -1)) {
            return false;
        }
        char chunk[4096];
        const ssize_t received = recv(fd, chunk, sizeof chunk, 0);
        if (received <= 0) {
            return false;
        }
        buffer.append(chunk, static_cast<std::size_t>(received));
    }
    head = buffer.substr(0, end + 2);
    buffer.erase(0, end + 4);
    return true;
}

CannedResponse TestHttpServer::responseFor(const std::string& head) const {
    const std::size_t targetStart = head.find(' ');
    const std::size_t targetEnd = head.find(' ', targetStart + 1);
    const std::string target = targetStart == std::string::npos
                                   ? ""
                                   : head.substr(targetStart + 1, targetEnd - targetStart - 1);
    std::lock_guard lock(mutex_);
    if (const auto found = responses_.find(target); found != responses_.end()) {
        return found->second;
    }
    CannedResponse notFound = okResponse("not found\n", "text/plain");
    notFound.status = 404;
    return notFound;
}

// True when fd is readable; false when the server stops or the time (ms, -1 = none) runs out.
bool TestHttpServer::waitReadableOrStop(int fd, int timeoutMs) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    for (;;) {
        const int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0 && fds[1].revents == 0 && fds[0].revents != 0;
    }
}

void TestHttpServer::closeConnection(int fd) {
    std::lock_guard lock(mutex_);
    openFds_.erase(fd);
    close(fd);
    changed_.notify_all();
}

// Sends FIN and waits briefly for the client to close first, so that the client sees an
// orderly end rather than a reset.
void TestHttpServer::closeGracefully(int fd) {
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (waitReadableOrStop(fd, 2000) && recv(fd, sink, sizeof sink, 0) > 0) {
    }
    closeConnection(fd);
}

RefusingPort::RefusingPort() {
    fd_ = bindLoopback(port_);
}

RefusingPort::~RefusingPort() {
    close(fd_);
}

std::string RefusingPort::url(std::string_view path) const {
    return loopbackUrl(port_, path);
}

}  // namespace vpn::test
