// The latency probe on Linux: one ICMP socket per run, every echo in flight at once.

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "servers/echo_probe.h"

namespace vpn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTimeout = std::chrono::milliseconds(kEchoTimeoutMs);
constexpr std::string_view kPayload = kEchoPayload;
constexpr std::size_t kIcmpHeaderBytes = 8;
constexpr std::size_t kEchoBytes = kIcmpHeaderBytes + kPayload.size();
static_assert(kPayload.size() == 20);
constexpr std::uint8_t kEchoReplyType = 0;
constexpr std::uint8_t kEchoRequestType = 8;
constexpr std::size_t kIpv4MinHeaderBytes = 20;

// Sequence numbers are 16 bits wide: longer lists are probed in batches of this size.
constexpr std::size_t kMaxEchoesPerBatch = 65536;
constexpr std::size_t kMaxResolverThreads = 16;
// When the socket's send queue is full, sending resumes after this pause.
constexpr auto kSendRetryPause = std::chrono::milliseconds(1);
// Packets read in one go, so that a flood of foreign packets cannot hold off the time-outs.
constexpr int kMaxPacketsPerDrain = 256;

std::string errorText(int error) {
    return std::system_category().message(error);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Wakes the run's wait: a host name was resolved, or the stop was requested.
class WakeSignal {
public:
    WakeSignal() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (fd_.get() < 0) {
            throw ProbeSetupError("无法创建事件描述符：" + errorText(errno));
        }
    }
    void notify() const {
        const std::uint64_t one = 1;
        while (::write(fd_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    void clear() const {
        std::uint64_t count = 0;
        while (::read(fd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
    int fd() const { return fd_.get(); }

private:
    FileDescriptor fd_;
};

std::optional<in_addr> lookUpIpv4(const std::string& host) {
    if (host.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return std::nullopt;
    }
    std::optional<in_addr> address;
    if (found != nullptr && found->ai_addr != nullptr && found->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, found->ai_addr, sizeof ipv4);
        address = ipv4.sin_addr;
    }
    ::freeaddrinfo(found);
    return address;
}

// Resolves host names on a few detached threads, so that a slow name server neither
// serializes the run nor keeps it from ending: the run abandons lookups it no longer waits
// for, and their threads end on their own once the resolver returns.
class NameResolver {
public:
    struct Answer {
        std::size_t name;  // position in the list given to the constructor
        std::optional<in_addr> address;
    };

    NameResolver(std::vector<std::string> names, std::shared_ptr<WakeSignal> wake)
        : shared_(std::make_shared<Shared>()) {
        shared_->names = std::move(names);
        shared_->wake = std::move(wake);
        const std::size_t threads = std::min(shared_->names.size(), kMaxResolverThreads);
        for (std::size_t i = 0; i < threads; ++i) {
            try {
                std::thread(work, shared_).detach();
            } catch (const std::system_error&) {
                break;  // fewer threads only make the lookups slower
            }
        }
    }
    NameResolver(const NameResolver&) = delete;
    NameResolver& operator=(const NameResolver&) = delete;
    ~NameResolver() {
        const std::lock_guard lock(shared_->mutex);
        shared_->abandoned = true;
    }

    std::vector<Answer> takeAnswers() {
        const std::lock_guard lock(shared_->mutex);
        return std::exchange(shared_->answers, {});
    }

private:
    struct Shared {
        std::mutex mutex;
        std::vector<std::string> names;
        std::size_t next = 0;
        std::vector<Answer> answers;
        bool abandoned = false;
        std::shared_ptr<WakeSignal> wake;
    };

    static void work(const std::shared_ptr<Shared>& shared) {
        for (;;) {
            std::size_t name = 0;
            std::string host;
            {
                const std::lock_guard lock(shared->mutex);
                if (shared->abandoned || shared->next == shared->names.size()) {
                    return;
                }
                name = shared->next++;
                host = shared->names[name];
            }
            const std::optional<in_addr> address = lookUpIpv4(host);
            {
                const std::lock_guard lock(shared->mutex);
                if (shared->abandoned) {
                    return;
                }
                shared->answers.push_back({name, address});
            }
            shared->wake->notify();
        }
    }

    std::shared_ptr<Shared> shared_;
};

// One ICMP socket for a batch of echoes. A datagram ("ping") socket needs no privilege when
// net.ipv4.ping_group_range admits the user's group; a raw socket needs CAP_NET_RAW.
struct IcmpSocket {
    FileDescriptor fd;
    bool raw = false;  // replies then start with the IP header
    std::uint16_t identifier = 0;
};

IcmpSocket openIcmpSocket() {
    IcmpSocket icmp;
    const int datagram = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    const int datagramError = errno;
    if (datagram >= 0) {
        icmp.fd = FileDescriptor(datagram);
        // The kernel puts the socket's local port into the identifier of every echo it sends
        // and passes up only replies that carry it: bind now to learn the port.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        socklen_t length = sizeof local;
        if (::bind(datagram, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
            ::getsockname(datagram, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            throw ProbeSetupError("无法绑定ICMP套接字：" + errorText(errno));
        }
        icmp.identifier = ntohs(local.sin_port);
    } else {
        const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (raw < 0) {
            throw ProbeSetupError(
                "ICMP数据报套接字：" + errorText(datagramError) + "；原始套接字：" +
                errorText(errno) +
                "（需要root权限，或让net.ipv4.ping_group_range包含当前用户的组）");
        }
        icmp.fd = FileDescriptor(raw);
        icmp.raw = true;
        // Every raw ICMP socket sees every ICMP packet that arrives: keep only echo replies,
        // and tell ours from other programs' by an identifier of our own.
        icmp_filter filter{};
        filter.data = ~(1U << ICMP_ECHOREPLY);
        if (::setsockopt(raw, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0) {
            throw ProbeSetupError("无法设置ICMP过滤器：" + errorText(errno));
        }
        icmp.identifier = static_cast<std::uint16_t>(std::random_device{}());
    }
    const int ttl = kEchoTtl;
    if (::setsockopt(icmp.fd.get(), IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) {
        throw ProbeSetupError("无法设置TTL：" + errorText(errno));
    }
    return icmp;
}

std::uint16_t readUint16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void writeUint16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value & 0xFF);
}

std::array<std::uint8_t, kEchoBytes> echoRequest(std::uint16_t identifier, std::uint16_t sequence) {
    std::array<std::uint8_t, kEchoBytes> packet{};
    packet[0] = kEchoRequestType;
    writeUint16(&packet[4], identifier);
    writeUint16(&packet[6], sequence);
    std::memcpy(&packet[kIcmpHeaderBytes], kPayload.data(), kPayload.size());
    // The Internet checksum; a datagram socket computes its own and ignores this one.
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < packet.size(); i += 2) {
        sum += readUint16(&packet[i]);
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    writeUint16(&packet[2], static_cast<std::uint16_t>(~sum));
    return packet;
}

struct EchoReply {
    std::uint16_t identifier;
    std::uint16_t sequence;
};

// The identifier and sequence of an echo reply that carries our payload; nothing for any
// other packet, however short or malformed.
std::optional<EchoReply> parseEchoReply(std::span<const std::uint8_t> packet, bool withIpHeader) {
    if (withIpHeader) {
        if (packet.size() < kIpv4MinHeaderBytes || packet[0] >> 4 != 4) {
            return std::nullopt;
        }
        const std::size_t headerBytes = std::size_t{packet[0] & 0x0FU} * 4;
        if (headerBytes < kIpv4MinHeaderBytes || headerBytes > packet.size()) {
            return std::nullopt;
        }
        packet = packet.subspan(headerBytes);
    }
    if (packet.size() < kEchoBytes || packet[0] != kEchoReplyType || packet[1] != 0 ||
        std::memcmp(&packet[kIcmpHeaderBytes], kPayload.data(), kPayload.size()) != 0) {
        return std::nullopt;
    }
    return EchoReply{readUint16(&packet[4]), readUint16(&packet[6])};
}

// One batch: every echo goes out at once from one socket, each echo's sequence number being
// its position in the batch; answers are matched by identifier, sequence and source.
class EchoBatch {
public:
    EchoBatch(const std::vector<std::string>& addresses, std::size_t first, std::size_t count,
              std::shared_ptr<WakeSignal> wake, const EchoProbe::ResultCallback& onResult,
              const std::stop_token& stop)
        : wake_(std::move(wake)), onResult_(onResult), stop_(stop) {
        std::vector<std::string> names;
        std::unordered_map<std::string, std::size_t> nameNumbers;
        for (std::size_t index = first; index < first + count; ++index) {
            const std::string& address = addresses[index];
            if (address.empty()) {
                continue;
            }
            const std::size_t position = echoes_.size();
            Echo& echo = echoes_.emplace_back();
            echo.index = index;
            in_addr numeric{};
            if (address.find('\0') == std::string::npos &&
                ::inet_pton(AF_INET, address.c_str(), &numeric) == 1) {
                echo.destination = numeric.s_addr;
                echo.state = State::Queued;
                sendQueue_.push_back(position);
                continue;
            }
            const auto [found, added] = nameNumbers.try_emplace(address, names.size());
            if (added) {
                names.push_back(address);
                echoesOfName_.emplace_back();
            }
            echoesOfName_[found->second].push_back(position);
            ++resolving_;
        }
        remaining_ = echoes_.size();
        if (!names.empty()) {
            resolver_.emplace(std::move(names), wake_);
        }
    }

    // False when the stop came first.
    bool run() {
        if (echoes_.empty()) {
            return true;
        }
        icmp_ = openIcmpSocket();
        resolveDeadline_ = Clock::now() + kTimeout;
        for (;;) {
            takeResolvedNames();
            sendQueued();
            receiveReplies();
            expire();
            deliver();
            if (stop_.stop_requested()) {
                return false;
            }
            if (remaining_ == 0) {
                return true;
            }
            wait();
            if (stop_.stop_requested()) {
                return false;
            }
        }
    }

private:
    enum class State { Resolving, Queued, InFlight, Done };
    struct Echo {
        std::size_t index = 0;      // in the caller's list
        in_addr_t destination = 0;  // network byte order
        State state = State::Resolving;
        Clock::time_point sentAt;
    };

    void finish(std::size_t position, std::string result) {
        Echo& echo = echoes_[position];
        echo.state = State::Done;
        results_.emplace_back(echo.index, std::move(result));
        --remaining_;
    }

    void takeResolvedNames() {
        if (!resolver_) {
            return;
        }
        for (const NameResolver::Answer& answer : resolver_->takeAnswers()) {
            for (const std::size_t position : echoesOfName_[answer.name]) {
                Echo& echo = echoes_[position];
                --resolving_;
                if (answer.address) {
                    echo.destination = answer.address->s_addr;
                    echo.state = State::Queued;
                    sendQueue_.push_back(position);
                } else {
                    finish(position, kEchoTimedOut);
                }
            }
        }
    }

    void sendQueued() {
        if (Clock::now() < retrySendAt_) {
            return;
        }
        while (!sendQueue_.empty()) {
            const std::size_t position = sendQueue_.front();
            Echo& echo = echoes_[position];
            const auto packet = echoRequest(icmp_.identifier, static_cast<std::uint16_t>(position));
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = echo.destination;
            echo.sentAt = Clock::now();
            if (::sendto(icmp_.fd.get(), packet.data(), packet.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
                const int error = errno;
                if (error == EINTR) {
                    continue;
                }
                if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
                    retrySendAt_ = Clock::now() + kSendRetryPause;
                    return;
                }
                // No route, a broadcast address, a firewall: this echo cannot leave.
                sendQueue_.pop_front();
                finish(position, kEchoTimedOut);
                continue;
            }
            sendQueue_.pop_front();
            echo.state = State::InFlight;
            inFlight_.push_back(position);
            // Take the answers that came back meanwhile, so that the rest of the burst does not
            // count towards their round-trip times.
            receiveReplies();
        }
    }

    void receiveReplies() {
        std::array<std::uint8_t, 4096> buffer{};
        for (int packets = 0; packets < kMaxPacketsPerDrain; ++packets) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t received = ::recvfrom(icmp_.fd.get(), buffer.data(), buffer.size(), 0,
                                                reinterpret_cast<sockaddr*>(&from), &fromLength);
            const Clock::time_point now = Clock::now();
            if (received < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;  // drained; a pending socket error is cleared by this read
            }
            if (fromLength < sizeof from || from.sin_family != AF_INET) {
                continue;
            }
            const auto reply = parseEchoReply(
                std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(received)),
                icmp_.raw);
            if (!reply || reply->identifier != icmp_.identifier ||
                reply->sequence >= echoes_.size()) {
                continue;
            }
            const Echo& echo = echoes_[reply->sequence];
            const auto roundTrip = now - echo.sentAt;
            if (echo.state != State::InFlight || echo.destination != from.sin_addr.s_addr ||
                roundTrip >= kTimeout) {
                continue;
            }
            const auto milliseconds =
                std::chrono::duration_cast<std::chrono::milliseconds>(roundTrip).count();
            finish(reply->sequence, std::to_string(milliseconds) + "ms");
        }
    }

    void expire() {
        const Clock::time_point now = Clock::now();
        // Echoes were sent in this order, so their deadlines are in this order too.
        while (!inFlight_.empty()) {
            const std::size_t position = inFlight_.front();
            if (echoes_[position].state == State::InFlight) {
                if (now - echoes_[position].sentAt < kTimeout) {
                    break;
                }
                finish(position, kEchoTimedOut);
            }
            inFlight_.pop_front();
        }
        if (resolving_ > 0 && now >= resolveDeadline_) {
            resolver_.reset();
            resolving_ = 0;
            for (std::size_t position = 0; position < echoes_.size(); ++position) {
                if (echoes_[position].state == State::Resolving) {
                    finish(position, kEchoTimedOut);
                }
            }
        }
    }

    void deliver() {
        for (const auto& [index, result] : results_) {
            if (stop_.stop_requested()) {
                break;
            }
            onResult_(index, result);
        }
        results_.clear();
    }

    void wait() {
        std::optional<Clock::time_point> deadline;
        const auto consider = [&deadline](Clock::time_point when) {
            deadline = deadline ? std::min(*deadline, when) : when;
        };
        if (!inFlight_.empty()) {
            consider(echoes_[inFlight_.front()].sentAt + kTimeout);
        }
        if (resolving_ > 0) {
            consider(resolveDeadline_);
        }
        if (!sendQueue_.empty()) {
            consider(retrySendAt_);
        }
        int timeoutMs = -1;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            timeoutMs = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
        }
        std::array<pollfd, 2> watched{{{icmp_.fd.get(), POLLIN, 0}, {wake_->fd(), POLLIN, 0}}};
        if (::poll(watched.data(), watched.size(), timeoutMs) < 0 && errno != EINTR) {
            throw std::system_error(errno, std::system_category(), "poll");
        }
        if (watched[1].revents != 0) {
            wake_->clear();
        }
    }

    std::shared_ptr<WakeSignal> wake_;
    const EchoProbe::ResultCallback& onResult_;
    const std::stop_token& stop_;
    IcmpSocket icmp_;

    std::vector<Echo> echoes_;                            // position = sequence number
    std::vector<std::vector<std::size_t>> echoesOfName_;  // per distinct host name
    std::optional<NameResolver> resolver_;
    std::size_t resolving_ = 0;
    std::size_t remaining_ = 0;
    Clock::time_point resolveDeadline_;
    Clock::time_point retrySendAt_{};  // the clock's epoch: already past
    std::deque<std::size_t> sendQueue_;
    std::deque<std::size_t> inFlight_;                          // in the order sent
    std::vector<std::pair<std::size_t, std::string>> results_;  // known, not yet delivered
};

class LinuxEchoProbe final : public EchoProbe {
public:
    void run(const std::vector<std::string>& addresses, const ResultCallback& onResult,
             std::stop_token stop) override {
        if (stop.stop_requested()) {
            return;
        }
        const auto wake = std::make_shared<WakeSignal>();
        const std::stop_callback wakeOnStop(stop, [&wake] { wake->notify(); });
        for (std::size_t first = 0; first < addresses.size(); first += kMaxEchoesPerBatch) {
            const std::size_t count = std::min(kMaxEchoesPerBatch, addresses.size() - first);
            EchoBatch batch(addresses, first, count, wake, onResult, stop);
            if (!batch.run()) {
                return;
            }
        }
    }
};

}  // namespace

std::unique_ptr<EchoProbe> createEchoProbe() {
    return std::make_unique<LinuxEchoProbe>();
}

}  // namespace vpn
