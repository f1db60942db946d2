#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace vpn {

// A GET that could not complete at the socket level: name resolution, refused, reset,
// network down, or one of the time-outs. The main window reports only this kind.
class SocketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Every other failed GET: an HTTP status other than 2xx (3xx included, redirects are not
// followed), the server closing early, a protocol error, a body over the limit.
class HttpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HttpResponse {
    std::string body;         // the bytes as served, no transcoding
    std::string contentType;  // the Content-Type header as sent, empty when absent
};

struct HttpLimits {
    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds inactivityTimeout{30'000};  // no byte received for this long
    std::size_t maxBodyBytes = std::size_t{1024} * 1024;
};

// One plain-HTTP client with the program's fixed request settings. Cookies are kept for the
// client's life; a kept-open connection is reused until disconnect(). Not thread-safe: each
// client is used by one thread at a time.
class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Throws SocketError or HttpError.
    virtual HttpResponse get(const std::string& url) = 0;
    // Closes a connection a previous get() left open; harmless when none is open.
    virtual void disconnect() = 0;
};

// The platform's client (libcurl on Linux, WinHTTP on Windows).
std::unique_ptr<HttpClient> createHttpClient(const HttpLimits& limits = {});

}  // namespace vpn
