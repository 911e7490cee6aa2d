// The Linux connection's receive under a time limit, on a real loopback socket: it must end a
// quiet wait with kReceiveTimedOut (not block, not fail), hand over data that arrives, and see
// the peer's close.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "platform/platform.h"

namespace zpx::testing {
namespace {

TEST(LinuxReceiveWithin, TimesOutReceivesAndSeesTheClose) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    auto c = platform::DefaultPlatform().ConnectTcp(0x7F000001, ntohs(a.sin_port));
    ASSERT_NE(c, nullptr);
    const int peer = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    uint8_t buffer[8] = {};
    for (uint32_t limit : {0u, 60u}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c->ReceiveWithin(buffer, sizeof buffer, limit),
                  platform::TcpConnection::kReceiveTimedOut);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(limit));
    }
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    EXPECT_EQ(c->ReceiveWithin(buffer, sizeof buffer, 60), 3);
    EXPECT_EQ(buffer[2], 'c');
    ::close(peer);
    EXPECT_EQ(c->ReceiveWithin(buffer, sizeof buffer, 60), 0);
    ::close(listener);
}

}  // namespace
}  // namespace zpx::testing
