#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vpn::test {

// What the server does after it has read a request for a path.
enum class Behaviour {
    Answer,              // status line, headers and the whole body; the connection stays open
    StallBeforeHeaders,  // never answers
    StallMidBody,        // headers and the first half of the body, then silence
    ResetMidBody,        // headers and the first half of the body, then a reset (RST)
    ShortBody,           // a Content-Length larger than the body it sends, then it closes
    CloseWithoutAnswer,  // closes without a byte
    RawBody,             // the body alone, as the whole answer (no status line), then it closes
};

struct CannedResponse {
    int status = 200;
    // Sent in this order after the status line. Content-Length is added unless given here;
    // "Connection: close" makes the server close after answering.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    Behaviour behaviour = Behaviour::Answer;
};

CannedResponse okResponse(std::string body, std::string contentType = "text/html");
CannedResponse redirectResponse(std::string location, int status = 302);

// A scriptable HTTP/1.1 server on 127.0.0.1 with an ephemeral port, answering on its own
// threads from the moment it is constructed. Paths without a canned response get a 404.
// Stalled connections stay open until the client closes them or the server is destroyed;
// the destructor ends every connection and returns within bounded time.
class TestHttpServer {
public:
    TestHttpServer();
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by path, e.g. url("/server.txt").
    std::string url(std::string_view path) const;

    // The response for requests whose target is path (the query, if any, is part of it).
    void serve(const std::string& path, CannedResponse response);

    // Connections accepted so far, and those still open (neither side has closed yet).
    int connectionCount() const;
    int openConnectionCount() const;
    // Waits until exactly `count` connections are open; false when the time ran out.
    bool waitForOpenConnections(int count, std::chrono::milliseconds timeout) const;

    // Every request received, in order: the request line and the header lines as sent,
    // each ending in CRLF, without the blank line.
    std::vector<std::string> requests() const;

private:
    void acceptLoop();
    void serveConnection(int fd);
    bool readRequest(int fd, std::string& buffer, std::string& head);
    CannedResponse responseFor(const std::string& head) const;
    bool waitReadableOrStop(int fd, int timeoutMs) const;
    void closeConnection(int fd);
    void closeGracefully(int fd);

    int listenFd_ = -1;
    int wakeRead_ = -1;  // readable once the server stops; every wait also watches it
    int wakeWrite_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::string, CannedResponse> responses_;
    std::vector<std::string> requests_;
    std::set<int> openFds_;
    int accepted_ = 0;
    std::vector<std::thread> connectionThreads_;
    std::thread acceptThread_;
};

// A TCP port on 127.0.0.1 that is bound but not listening: connecting to it is refused for as
// long as this object lives, and no other program can take the port meanwhile.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url(std::string_view path) const;

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace vpn::test
