// Kernel-driver devices over ioctl, and blocking TCP connections.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <vector>

#include "platform/linux/linux_platform.h"
#include "zpx/driver_abi.h"

namespace zpx::platform::linux_impl {

namespace {

class LinuxDriverDevice final : public DriverDevice {
  public:
    explicit LinuxDriverDevice(int fd) : fd_(fd) {}
    ~LinuxDriverDevice() override { ::close(fd_); }

    bool Request(uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength) override {
        zpx_driver_request request{};
        request.code = code;
        request.in_length = in != nullptr ? inLength : 0;
        request.out_length = out != nullptr ? outLength : 0;
        request.in_buffer = reinterpret_cast<uintptr_t>(in);
        request.out_buffer = reinterpret_cast<uintptr_t>(out);
        int rc;
        do {
            rc = ::ioctl(fd_, ZPX_IOCTL_REQUEST, &request);
        } while (rc < 0 && errno == EINTR);
        return rc == 0;
    }

  private:
    int fd_;
};

class LinuxTcpConnection final : public TcpConnection {
  public:
    explicit LinuxTcpConnection(int fd) : fd_(fd) {}
    ~LinuxTcpConnection() override {
        (void)SendPending(false);  // bytes a caller left marked as followed by more still go out
        ::close(fd_);
    }

    // Bytes marked as followed by more of the same block are gathered here and leave in large
    // sends: a block written as many small pieces (a memory block goes out in 512-byte pieces)
    // would otherwise pay a system call per piece. The byte stream is the same; the gathered
    // bytes go out at the latest with the first piece that is not marked, or before any
    // receive. An error of a deferred send is reported by the send that flushes it.
    long Send(const void* data, size_t length, bool more) override {
        const auto* bytes = static_cast<const uint8_t*>(data);
        if (more) {
            if (pending_.size() + length > kGatherLimit && !SendPending(true)) return -1;
            if (length >= kGatherLimit) return SendOnce(bytes, length, MSG_MORE);
            pending_.insert(pending_.end(), bytes, bytes + length);
            return static_cast<long>(length);
        }
        if (pending_.empty()) return SendOnce(bytes, length, 0);
        if (pending_.size() + length <= kGatherLimit) {
            pending_.insert(pending_.end(), bytes, bytes + length);
            return SendPending(false) ? static_cast<long>(length) : -1;
        }
        if (!SendPending(true)) return -1;
        return SendOnce(bytes, length, 0);
    }

    bool Flush() override { return SendPending(false); }

    int WaitReadable(uint32_t timeoutMs) override {
        if (!SendPending(false)) return -1;
        pollfd pfd{fd_, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(timeoutMs));
        if (rc < 0) return errno == EINTR ? 0 : -1;
        return rc;
    }

    long Receive(void* buffer, size_t length) override {
        if (!SendPending(false)) return -1;
        ssize_t n;
        do {
            n = ::recv(fd_, buffer, length, 0);
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -1 : static_cast<long>(n);
    }

    // One recv under the socket's receive time limit instead of poll and recv. The limit stays
    // set on the socket; Receive is only ever called once the socket is readable.
    long ReceiveWithin(void* buffer, size_t length, uint32_t timeoutMs) override {
        // A limit of 0 would mean "no limit" to the socket option.
        if (timeoutMs == 0) return TcpConnection::ReceiveWithin(buffer, length, timeoutMs);
        if (!SendPending(false)) return -1;
        if (timeoutMs != receiveLimitMs_) {
            timeval limit{};
            limit.tv_sec = static_cast<time_t>(timeoutMs / 1000);
            limit.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
            if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
                return TcpConnection::ReceiveWithin(buffer, length, timeoutMs);
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
    static constexpr size_t kGatherLimit = 64 * 1024;

    // One send; MSG_NOSIGNAL: a peer that went away is an error result, never a signal that
    // ends the caller's process.
    long SendOnce(const uint8_t* data, size_t length, int flags) {
        ssize_t n;
        do {
            n = ::send(fd_, data, length, flags | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -1 : static_cast<long>(n);
    }

    // Sends every gathered byte; false (and the gathered bytes dropped) on an error.
    bool SendPending(bool more) {
        size_t sent = 0;
        while (sent < pending_.size()) {
            const long n =
                SendOnce(pending_.data() + sent, pending_.size() - sent, more ? MSG_MORE : 0);
            if (n < 0) {
                pending_.clear();
                return false;
            }
            sent += static_cast<size_t>(n);
        }
        pending_.clear();
        return true;
    }

    int fd_;
    std::vector<uint8_t> pending_;
    uint32_t receiveLimitMs_ = 0;  // the socket's receive time limit; 0 while none is set
};

}  // namespace

std::string DevicePath(const std::string& driverPath) {
    static constexpr char kPrefix[] = "\\\\.\\";
    if (driverPath.rfind(kPrefix, 0) != 0) return driverPath;
    std::string path = "/dev/";
    for (size_t i = sizeof kPrefix - 1; i < driverPath.size(); ++i) {
        path += static_cast<char>(std::tolower(static_cast<unsigned char>(driverPath[i])));
    }
    return path;
}

std::unique_ptr<DriverDevice> LinuxPlatform::OpenDriver(const std::string& path, DriverOpenMode,
                                                        uint32_t* lastError) {
    // The driver enforces exclusive use; both open modes map to a plain read-write open here.
    const int fd = ::open(DevicePath(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *lastError = errno == EBUSY ? kDeviceBusyError : static_cast<uint32_t>(errno);
        return nullptr;
    }
    return std::make_unique<LinuxDriverDevice>(fd);
}

std::unique_ptr<TcpConnection> LinuxPlatform::ConnectTcp(uint32_t ipv4, uint16_t port) {
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

}  // namespace zpx::platform::linux_impl
