#include <curl/curl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "net/http_client.h"

namespace vpn {
namespace {

using Clock = std::chrono::steady_clock;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// "30 秒" or, for limits that are not whole seconds, "1500 毫秒".
std::string durationText(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " 秒" : std::to_string(ms) + " 毫秒";
}

std::string hostOf(const std::string& url) {
    std::string rest = url;
    if (const auto scheme = rest.find("://"); scheme != std::string::npos) {
        rest = rest.substr(scheme + 3);
    }
    return rest.substr(0, rest.find_first_of("/?#"));
}

// Chinese text for the system error behind a failed connect or receive.
std::string socketCause(long osErrno, const char* fallback) {
    switch (osErrno) {
        case ECONNREFUSED:
            return "连接被拒绝";
        case ECONNRESET:
            return "连接被重置";
        case ENETUNREACH:
            return "网络不可达";
        case EHOSTUNREACH:
            return "主机不可达";
        case ENETDOWN:
            return "网络已断开";
        case ETIMEDOUT:
            return "连接超时";
        default:
            return fallback;
    }
}

class CurlHttpClient final : public HttpClient {
public:
    explicit CurlHttpClient(const HttpLimits& limits) : limits_(limits) {
        initCurlOnce();
        // Cookies live in the share so that disconnect() can drop the connection and keep them.
        share_ = curl_share_init();
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        headers_ = curl_slist_append(headers_, "Accept: text/html, */*");
        headers_ = curl_slist_append(headers_, "Content-Type: text/html");
        headers_ = curl_slist_append(headers_, "Expect:");
    }

    ~CurlHttpClient() override {
        disconnect();
        curl_slist_free_all(headers_);
        curl_share_cleanup(share_);
    }

    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    HttpResponse get(const std::string& url) override {
        openSession();
        Transfer transfer{this, {}, false, false, false, Clock::now()};
        CURL* easy = easy_;
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
        char errorBuffer[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);

        const CURLcode code = perform(transfer);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
        if (code != CURLE_OK) {
            fail(code, url, transfer, errorBuffer);
        }
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) {
            throw HttpError("服务器返回 HTTP " + std::to_string(status) + "：" + url);
        }
        const char* contentType = nullptr;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &contentType);
        return HttpResponse{std::move(transfer.body), contentType ? contentType : ""};
    }

    void disconnect() override {
        if (multi_ != nullptr) {
            curl_multi_remove_handle(multi_, easy_);
        }
        if (easy_ != nullptr) {
            curl_easy_cleanup(easy_);
            easy_ = nullptr;
        }
        if (multi_ != nullptr) {
            curl_multi_cleanup(multi_);  // closes the kept-open connection
            multi_ = nullptr;
        }
    }

private:
    struct Transfer {
        CurlHttpClient* client;
        std::string body;
        bool tooLarge;
        bool connected;  // a connection is made or reused; the inactivity clock runs
        bool stalled;    // ended by the inactivity time-out
        Clock::time_point lastActivity;
    };

    void openSession() {
        if (easy_ == nullptr) {
            multi_ = curl_multi_init();
            easy_ = curl_easy_init();
            if (multi_ == nullptr || easy_ == nullptr) {
                disconnect();
                throw HttpError("无法初始化 HTTP 客户端");
            }
            configure(easy_);
        } else {
            curl_multi_remove_handle(multi_, easy_);
        }
    }

    void configure(CURL* easy) {
        curl_easy_setopt(easy, CURLOPT_SHARE, share_);
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing read
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/3.0 (compatible; Indy Library)");
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(limits_.connectTimeout.count()));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlHttpClient::onBody);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlHttpClient::onHeader);
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &CurlHttpClient::onConnected);
    }

    // Drives the transfer through the multi handle, which keeps the connection for the next
    // GET, and enforces the inactivity time-out to the millisecond.
    CURLcode perform(Transfer& transfer) {
        curl_multi_add_handle(multi_, easy_);
        int running = 1;
        while (running > 0) {
            if (curl_multi_perform(multi_, &running) != CURLM_OK) {
                return CURLE_RECV_ERROR;
            }
            if (running == 0) {
                break;
            }
            // The connect time-out covers name resolution and the connect; from then on
            // nothing may stall.
            if (transfer.connected &&
                Clock::now() - transfer.lastActivity > limits_.inactivityTimeout) {
                transfer.stalled = true;
                curl_multi_remove_handle(multi_, easy_);
                return CURLE_OPERATION_TIMEDOUT;
            }
            curl_multi_poll(multi_, nullptr, 0, 50, nullptr);
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                return message->data.result;
            }
        }
        return CURLE_RECV_ERROR;
    }

    [[noreturn]] void fail(CURLcode code, const std::string& url, const Transfer& transfer,
                           const char* detail) {
        long osErrno = 0;
        curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
        const std::string host = hostOf(url);
        // The connection is in an unknown state after a failure: start afresh next time.
        disconnect();
        switch (code) {
            case CURLE_COULDNT_RESOLVE_HOST:
                throw SocketError("无法解析主机名 " + host);
            case CURLE_COULDNT_CONNECT:
                throw SocketError("无法连接到 " + host + "：" + socketCause(osErrno, "连接失败"));
            case CURLE_OPERATION_TIMEDOUT:
                if (transfer.stalled) {
                    throw SocketError("接收数据超时：" + host + " 在 " +
                                      durationText(limits_.inactivityTimeout) + "内没有送来数据");
                }
                throw SocketError("连接超时：" + host);
            case CURLE_RECV_ERROR:
            case CURLE_SEND_ERROR:
                throw SocketError("与 " + host + " 的连接中断：" +
                                  socketCause(osErrno, "连接被重置"));
            case CURLE_WRITE_ERROR:
                if (transfer.tooLarge) {
                    throw HttpError("响应内容超过 " + std::to_string(limits_.maxBodyBytes) +
                                    " 字节：" + url);
                }
                break;
            case CURLE_PARTIAL_FILE:
            case CURLE_GOT_NOTHING:
                throw HttpError("服务器提前关闭了连接：" + url);
            default:
                break;
        }
        std::string message = curl_easy_strerror(code);
        if (detail != nullptr && *detail != '\0') {
            message = detail;
        }
        throw HttpError("HTTP 请求失败：" + message + "：" + url);
    }

    static size_t onBody(char* data, size_t size, size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        const size_t bytes = size * count;
        transfer->lastActivity = Clock::now();
        if (transfer->body.size() + bytes > transfer->client->limits_.maxBodyBytes) {
            transfer->tooLarge = true;
            return 0;
        }
        transfer->body.append(data, bytes);
        return bytes;
    }

    static int onConnected(void* user, char*, char*, int, int) {
        auto* transfer = static_cast<Transfer*>(user);
        transfer->connected = true;
        transfer->lastActivity = Clock::now();
        return CURL_PREREQFUNC_OK;
    }

    static size_t onHeader(char*, size_t size, size_t count, void* user) {
        static_cast<Transfer*>(user)->lastActivity = Clock::now();
        return size * count;
    }

    HttpLimits limits_;
    CURLSH* share_ = nullptr;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
};

}  // namespace

std::unique_ptr<HttpClient> createHttpClient(const HttpLimits& limits) {
    return std::make_unique<CurlHttpClient>(limits);
}

}  // namespace vpn
