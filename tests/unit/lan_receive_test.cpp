// The Linux connection's receive under a time limit, on a real loopback socket: it must end a
// quiet wait with kReceiveTimedOut (not block, not fail), hand over data that arrives, and see
// the peer's close.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

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

// Pieces marked as followed by more are gathered and sent in large steps; the peer must still
// see exactly the bytes in order, the unmarked piece must push everything out, and a receive
// must never wait while gathered bytes are held back (the peer could not answer them).
TEST(LinuxSend, GatheredPiecesArriveWholeAndInOrder) {
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

    // A fault that holds bytes back must fail the test, not hang it.
    const timeval limit{5, 0};
    ASSERT_EQ(::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);

    // 300 KiB in 512-byte pieces (several gather limits), then an unmarked tail of 7 bytes.
    std::vector<uint8_t> block(300 * 1024 + 7);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    std::thread writer([&] {
        size_t off = 0;
        while (off < block.size()) {
            const size_t n = std::min<size_t>(512, block.size() - off);
            const bool last = off + n == block.size();
            if (c->Send(block.data() + off, n, !last) != static_cast<long>(n)) break;
            off += n;
        }
        // Marked bytes then a receive: the receive pushes them out before it waits.
        const uint8_t ask[3] = {1, 2, 3};
        c->Send(ask, 3, true);
        uint8_t answer = 0;
        EXPECT_EQ(c->ReceiveWithin(&answer, 1, 2000), 1);
        EXPECT_EQ(answer, 9);
    });
    std::vector<uint8_t> got(block.size() + 3);
    size_t have = 0;
    while (have < got.size()) {
        const ssize_t n = ::recv(peer, got.data() + have, got.size() - have, 0);
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    ASSERT_EQ(have, got.size());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), got.begin()));
    EXPECT_EQ(got[block.size() + 2], 3);
    ASSERT_EQ(::send(peer, "\x09", 1, 0), 1);
    writer.join();
    ::close(peer);
    ::close(listener);
}

}  // namespace
}  // namespace zpx::testing
