// Blocking IPv4 TCP connections over Windows Sockets 1.1, started for each connection and ended
// with it.
// The sockets header must come before the system header, which would pull in an older one.
#include <winsock2.h>

#include <windows.h>

#include <cstdint>
#include <memory>

#include "core/immortal.h"
#include "platform/gathering_connection.h"

namespace zpx::platform {

namespace {

constexpr WORD kSocketsVersion = MAKEWORD(1, 1);

class WindowsTcpConnection final : public GatheringConnection {
  public:
    explicit WindowsTcpConnection(SOCKET socket) : socket_(socket) {}
    ~WindowsTcpConnection() override {
        (void)SendPending(false);
        ::closesocket(socket_);
        ::WSACleanup();
    }
    WindowsTcpConnection(const WindowsTcpConnection&) = delete;
    WindowsTcpConnection& operator=(const WindowsTcpConnection&) = delete;

  protected:
    // The system has no way to hold a send back for more; gathering does that work here.
    Io SendOnce(const uint8_t* data, size_t length, bool) override {
        const int chunk = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
        const int n = ::send(socket_, reinterpret_cast<const char*>(data), chunk, 0);
        return n == SOCKET_ERROR ? Io{Io::kFailed} : Io::Moved(static_cast<size_t>(n));
    }

    Io WaitReadableNow(uint32_t timeoutMs) override {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval limit{};
        limit.tv_sec = static_cast<long>(timeoutMs / 1000);
        limit.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
        const int rc = ::select(0, &readable, nullptr, nullptr, &limit);
        if (rc == SOCKET_ERROR) return {Io::kFailed};
        return {rc == 0 ? Io::kTimedOut : Io::kDone};
    }

    // A receive that timed out under the socket's time limit leaves the connection in an
    // undefined state on this system, so every limited receive waits with select first (the
    // shared ReceiveWithinNow).
    Io ReceiveNow(void* buffer, size_t length) override {
        const int chunk = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
        const int n = ::recv(socket_, static_cast<char*>(buffer), chunk, 0);
        if (n == SOCKET_ERROR) return {Io::kFailed};
        return n == 0 ? Io{Io::kClosed} : Io::Moved(static_cast<size_t>(n));
    }

  private:
    SOCKET socket_;
};

class WindowsNetwork final : public Network {
  public:
    std::unique_ptr<TcpConnection> ConnectTcp(uint32_t ipv4, uint16_t port,
                                              uint32_t sendLimitMs) override {
        WSADATA data;
        if (::WSAStartup(kSocketsVersion, &data) != 0) return nullptr;
        const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) {
            ::WSACleanup();
            return nullptr;
        }
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        peer.sin_addr.s_addr = htonl(ipv4);
        if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
            ::closesocket(s);
            ::WSACleanup();
            return nullptr;
        }
        // Runs of unanswered writes followed by a read would otherwise meet the peer's delayed
        // acknowledgement and stall; the bytes on the wire are the same.
        const BOOL one = TRUE;
        (void)::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                           sizeof one);
        // A send that times out leaves the connection unusable on this system; the link treats
        // any failed send that way anyway.
        const DWORD limit = sendLimitMs;
        if (sendLimitMs != 0 &&
            ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                         sizeof limit) == SOCKET_ERROR) {
            ::closesocket(s);
            ::WSACleanup();
            return nullptr;
        }
        return std::make_unique<WindowsTcpConnection>(s);
    }
};

}  // namespace

template <>
Network& System<Network>() {
    static Immortal<WindowsNetwork> network;
    return network.get();
}

}  // namespace zpx::platform
