// Register traffic of the Ethernet back-end over a real loopback socket, against a scripted peer
// thread: a read answered whole, a write that is never answered, a reply that arrives late and in
// two pieces, and a peer that closes instead of answering.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "platform/platform.h"
#include "session/session.h"
#include "transport/lan_backend.h"

namespace zpx::testing {
namespace {

// Reads exactly n bytes; fewer when the library stops sending for 3 s or closes, so that a fault
// fails the test instead of hanging it.
std::vector<uint8_t> ReadExactly(int fd, size_t n) {
    std::vector<uint8_t> bytes(n);
    size_t have = 0;
    while (have < n) {
        const ssize_t got = ::recv(fd, bytes.data() + have, n - have, 0);
        if (got <= 0) break;
        have += static_cast<size_t>(got);
    }
    bytes.resize(have);
    return bytes;
}

TEST(LanLoopback, ReadsWritesLateRepliesAndAClosingPeer) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);

    std::vector<uint8_t> seen;
    std::thread peer([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const timeval limit{3, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        // A write of register 0, not answered, then a read of register 2.
        seen = ReadExactly(fd, 24);
        if (seen.size() == 24) {
            std::vector<uint8_t> reply(seen.begin() + 12, seen.end());
            PutU32(reply.data() + 4, 0x5C);
            ::send(fd, reply.data(), 12, 0);
            // A read of 0x0B answered late and in two pieces.
            reply = ReadExactly(fd, 12);
            reply.resize(12);
            PutU32(reply.data() + 4, 0xB5);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            ::send(fd, reply.data(), 5, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            ::send(fd, reply.data() + 5, 7, 0);
            // A read answered by closing the connection.
            (void)ReadExactly(fd, 12);
        }
        ::close(fd);
    });

    auto socket = platform::DefaultPlatform().ConnectTcp(0x7F000001, ntohs(a.sin_port));
    ASSERT_NE(socket, nullptr);
    transport::LanBackend lan(std::move(socket), 0x7F000001);
    ControllerSession s;
    uint32_t value = 0;
    EXPECT_TRUE(lan.WriteRegister(s, 0, 0x03).ok());
    EXPECT_TRUE(lan.ReadRegister(s, 2, &value).ok());
    EXPECT_EQ(value, 0x5Cu);
    EXPECT_TRUE(lan.ReadRegister(s, 0x0B, &value).ok());
    EXPECT_EQ(value, 0xB5u);
    const auto start = std::chrono::steady_clock::now();
    value = 0x77;
    EXPECT_TRUE(lan.ReadRegister(s, 1, &value).failed());
    EXPECT_EQ(value, 0x77u);
    // A closed connection fails at once, without waiting out the receive's time limits.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    peer.join();
    ::close(listener);

    const std::vector<uint8_t> expected = {0x02, 0x00, 0x00, 0x01, 0x03, 0, 0, 0, 0, 0, 0, 0,
                                           0x01, 0x00, 0x02, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace zpx::testing
