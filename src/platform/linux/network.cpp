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

#include "platform/gathering_connection.h"

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
    long SendOnce(const uint8_t* data, size_t length, bool more) override {
        ssize_t n;
        do {
            n = ::send(fd_, data, length, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -1 : static_cast<long>(n);
    }

    int WaitReadableNow(uint32_t timeoutMs) override {
        pollfd pfd{fd_, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(timeoutMs));
        if (rc < 0) return errno == EINTR ? 0 : -1;
        return rc;
    }

    long ReceiveNow(void* buffer, size_t length) override {
        ssize_t n;
        do {
            n = ::recv(fd_, buffer, length, 0);
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -1 : static_cast<long>(n);
    }

    // One recv under the socket's receive time limit instead of poll and recv. The limit stays
    // set on the socket; ReceiveNow is only ever called once the socket is readable.
    long ReceiveWithinNow(void* buffer, size_t length, uint32_t timeoutMs) override {
        // A limit of 0 would mean "no limit" to the socket option.
        if (timeoutMs == 0) return GatheringConnection::ReceiveWithinNow(buffer, length, 0);
        if (timeoutMs != receiveLimitMs_) {
            timeval limit{};
            limit.tv_sec = static_cast<time_t>(timeoutMs / 1000);
            limit.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
            if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
                return GatheringConnection::ReceiveWithinNow(buffer, length, timeoutMs);
            }
            receiveLimitMs_ = timeoutMs;
        }
        const ssize_t n = ::recv(fd_, buffer, length, 0);
        if (n >= 0) return static_cast<long>(n);
        // An interrupted wait counts as a wait that ended without data, as with poll.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kReceiveTimedOut;
        return -1;
    }

  private:
    int fd_;
    uint32_t receiveLimitMs_ = 0;  // the socket's receive time limit; 0 while none is set
};

class LinuxNetwork final : public Network {
  public:
    std::unique_ptr<TcpConnection> ConnectTcp(uint32_t ipv4, uint16_t port) override {
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
        return std::make_unique<LinuxTcpConnection>(fd);
    }
};

}  // namespace

template <>
Network& System<Network>() {
    static LinuxNetwork network;
    return network;
}

}  // namespace zpx::platform
