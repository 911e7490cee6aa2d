// Blocking IPv4 TCP connections.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

#include "core/immortal.h"
#include "platform/gathering_connection.h"
#include "platform/system_time.h"

namespace zpx::platform {

namespace {

class LinuxTcpConnection final : public GatheringConnection {
  public:
    explicit LinuxTcpConnection(int fd) : fd_(fd) {}
    ~LinuxTcpConnection() override {
        (void)SendPending(false);
        ::close(fd_);
    }
    LinuxTcpConnection(const LinuxTcpConnection&) = delete;
    LinuxTcpConnection& operator=(const LinuxTcpConnection&) = delete;

  protected:
    // MSG_NOSIGNAL: a peer that went away is an error result, never a signal that ends the
    // caller's process.
    Io SendOnce(const uint8_t* data, size_t length, bool more) override {
        ssize_t n;
        do {
            n = ::send(fd_, data, length, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        } while (n < 0 && errno == EINTR);
        return n < 0 ? Io{Io::kFailed} : Io::Moved(static_cast<size_t>(n));
    }

    // An interrupted wait counts as one that ended without data.
    Io WaitReadableNow(uint32_t timeoutMs) override {
        pollfd pfd{fd_, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(timeoutMs));
        if (rc < 0) return {errno == EINTR ? Io::kTimedOut : Io::kFailed};
        return {rc == 0 ? Io::kTimedOut : Io::kDone};
    }

    Io ReceiveNow(void* buffer, size_t length) override {
        ssize_t n;
        do {
            n = ::recv(fd_, buffer, length, 0);
        } while (n < 0 && errno == EINTR);
        return Received(n);
    }

    // A long wait is one recv under the socket's receive time limit instead of poll and recv,
    // which saves a system call per receive. That limit ends late by an amount the system
    // chooses, so it is set short of the wait, and poll, whose time-out ends on time, waits out
    // the rest: the whole wait ends within about a millisecond of its time.
    Io ReceiveWithinNow(void* buffer, size_t length, uint32_t timeoutMs) override {
        if (timeoutMs <= kPollOnlyMs)
            return GatheringConnection::ReceiveWithinNow(buffer, length, timeoutMs);
        const uint64_t deadline = os::MonotonicNanos() + uint64_t{timeoutMs} * 1000000;
        const uint32_t limitMs = timeoutMs - kLimitMarginMs;
        if (limitMs != receiveLimitMs_) {
            timeval limit{};
            limit.tv_sec = static_cast<time_t>(limitMs / 1000);
            limit.tv_usec = static_cast<suseconds_t>((limitMs % 1000) * 1000);
            if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
                return GatheringConnection::ReceiveWithinNow(buffer, length, timeoutMs);
            }
            receiveLimitMs_ = limitMs;
        }
        const ssize_t n = ::recv(fd_, buffer, length, 0);
        if (n >= 0) return Received(n);
        // An interrupted wait counts as a wait that ended without data, as with poll.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return {Io::kFailed};
        const uint64_t now = os::MonotonicNanos();
        if (now >= deadline) return {Io::kTimedOut};
        const auto restMs = static_cast<uint32_t>((deadline - now + 999999) / 1000000);
        return GatheringConnection::ReceiveWithinNow(buffer, length, restMs);
    }

  private:
    static Io Received(ssize_t n) {
        if (n < 0) return {Io::kFailed};
        return n == 0 ? Io{Io::kClosed} : Io::Moved(static_cast<size_t>(n));
    }

    static constexpr uint32_t kPollOnlyMs = 500;
    static constexpr uint32_t kLimitMarginMs = 250;

    int fd_;
    uint32_t receiveLimitMs_ = 0;  // the socket's receive time limit; 0 while none is set
};

class LinuxNetwork final : public Network {
  public:
    std::unique_ptr<TcpConnection> ConnectTcp(uint32_t ipv4, uint16_t port,
                                              uint32_t sendLimitMs) override {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return nullptr;
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        peer.sin_addr.s_addr = htonl(ipv4);
        int rc;
        do {
            rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            ::close(fd);
            return nullptr;
        }
        // Runs of unanswered writes followed by a read would otherwise meet the peer's delayed
        // acknowledgement and stall for tens of milliseconds; the bytes on the wire are the same.
        const int one = 1;
        (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (sendLimitMs != 0) {
            timeval limit{};
            limit.tv_sec = static_cast<time_t>(sendLimitMs / 1000);
            limit.tv_usec = static_cast<suseconds_t>((sendLimitMs % 1000) * 1000);
            if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
                ::close(fd);
                return nullptr;
            }
        }
        return std::make_unique<LinuxTcpConnection>(fd);
    }
};

}  // namespace

template <>
Network& System<Network>() {
    static Immortal<LinuxNetwork> network;
    return network.get();
}

}  // namespace zpx::platform
