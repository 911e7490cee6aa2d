// Register access per back-end: the driver request and reply byte of each register on each bus,
// the word register, the Ethernet packets, how a receive waits, assembles and gives up, and the
// same traffic over a real loopback socket.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "session/call_frame.h"
#include "session_helpers.h"
#include "transport/lan_backend.h"
#include "transport/lan_link.h"
#include "transport/registers.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

struct Bus {
    const char* name;
    const char* path;
    bool isa;
    bool fireWire;
};

constexpr Bus kBuses[] = {
    {"ISA1,5120", "\\\\.\\isa5120_1", true, false},
    {"PCI", "\\\\.\\PCI51X4EX_0", false, false},
    {"USB", "\\\\.\\Usb51x4EX_0", false, false},
    {"FW0", "\\\\.\\Fw51x4_0", false, true},
};

TEST(DriverRegisters, EachByteRegisterIsOneRequestForTheBusRegisterAndReplyByte) {
    for (const Bus& bus : kBuses) {
        SCOPED_TRACE(bus.name);
        ScopedFakePlatform fake;
        auto file = std::make_shared<RegisterFile>();
        for (uint32_t r = 0; r < 12; ++r)
            file->regs[r] = static_cast<uint8_t>(0xA0 + r);
        std::shared_ptr<FakeDriverState> device;
        ZPX_Handle h = OpenOnDevice(*fake, bus.name, bus.path, file, &device);
        ASSERT_NE(h, nullptr);
        for (uint32_t reg : {0u, 1u, 2u, 3u, 0x0Bu}) {
            SCOPED_TRACE(reg);
            device->calls.clear();
            uint32_t value = 0x777;
            const Result r = transport::ReadRegister(SessionOf(h), reg, &value);
            if (bus.isa && reg == 0x0B) {
                // The ISA board has no pod power register: refused without a request.
                EXPECT_TRUE(r.failed());
                EXPECT_EQ(value, 0x777u);
                EXPECT_TRUE(device->calls.empty());
                continue;
            }
            // FireWire reads four registers at once: 0 to 3 from register 0, 8 to 11 from 8.
            const uint32_t asked = bus.fireWire ? (reg == 0x0B ? 8 : 0) : reg;
            EXPECT_TRUE(r.ok());
            EXPECT_EQ(value, 0xA0 + reg);
            EXPECT_EQ(Requests(*device), std::vector<Request>{ReadOf(asked)});
            EXPECT_EQ(device->calls[0].outLength, 8u);
        }
        // Writes go to the register itself on every bus, FireWire included.
        device->calls.clear();
        EXPECT_EQ(ZPX_SetRunMode(h, 0x0C), 0u);
        EXPECT_EQ(Requests(*device), std::vector<Request>{WriteOf(0, 0x0C)});
        EXPECT_EQ(ZPX_CloseController(h), 0u);
    }
}

TEST(DriverRegisters, WordRegisterIsTwoByteRequestsOrOneFireWireRead) {
    for (const Bus& bus : kBuses) {
        SCOPED_TRACE(bus.name);
        ScopedFakePlatform fake;
        auto file = std::make_shared<RegisterFile>();
        std::shared_ptr<FakeDriverState> device;
        ZPX_Handle h = OpenOnDevice(*fake, bus.name, bus.path, file, &device);
        ASSERT_NE(h, nullptr);
        file->regs = {{3, 0x11}, {4, 0x22}, {5, 0x33}, {6, 0x44}, {7, 0x55}};
        const uint32_t low = bus.isa ? 3 : 4;

        uint32_t count = 0;
        EXPECT_EQ(ZPX_GetContModeCounter(h, &count), 0u);
        if (bus.fireWire) {
            EXPECT_EQ(count, 0x5544u);  // bits 16 to 31 of the reply's value field
            EXPECT_EQ(Requests(*device), std::vector<Request>{ReadOf(4)});
        } else {
            EXPECT_EQ(count, bus.isa ? 0x2211u : 0x3322u);
            EXPECT_EQ(Requests(*device), (std::vector<Request>{ReadOf(low), ReadOf(low + 1)}));
        }

        // The last read fails: the low byte is already stored on the byte-wide buses.
        device->calls.clear();
        file->failAfter = file->served + (bus.fireWire ? 0 : 1);
        count = 0xDEAD;
        EXPECT_EQ(ZPX_GetContModeCounter(h, &count), 10u);
        EXPECT_EQ(count, bus.fireWire ? 0xDEADu : (bus.isa ? 0x11u : 0x22u));

        file->failAfter = -1;
        device->calls.clear();
        EXPECT_EQ(ZPX_SetContModeCounter(h, 0x1BEEF), 0u);
        EXPECT_EQ(Requests(*device),
                  (std::vector<Request>{WriteOf(low, 0xEF), WriteOf(low + 1, 0xBE)}));
        // A failed low byte sends no high byte.
        device->calls.clear();
        file->failAfter = file->served;
        EXPECT_EQ(ZPX_SetContModeCounter(h, 0xBEEF), 10u);
        EXPECT_EQ(device->calls.size(), 1u);
        EXPECT_EQ(SessionOf(h).inUse.load(), 1);
        EXPECT_EQ(ZPX_CloseController(h), 0u);
    }
}

TEST(LanRegisters, PacketsCarryCommandWordsAndWritesReadNothing) {
    ScopedFakePlatform fake;
    auto regs = std::make_shared<std::map<uint8_t, uint32_t>>();
    for (uint8_t r : {0, 1, 2, 3, 0x0B})
        (*regs)[r] = 0xFFFF00u | (0xC0u + r);
    (*regs)[4] = 0xABCD1234;
    FakeTcpState& tcp = *fake->nextConnection;
    ServeLanRegisters(tcp, regs);
    uint32_t status = 0;
    ZPX_Handle h = ZPX_OpenController("ETH127.0.0.1", &status);
    ASSERT_NE(h, nullptr);
    const size_t from = tcp.sent.size();
    tcp.sendSizes.clear();

    std::vector<Request> expected;
    for (uint32_t reg : {0u, 1u, 2u, 3u, 0x0Bu}) {
        uint32_t value = 0;
        EXPECT_TRUE(transport::ReadRegister(SessionOf(h), reg, &value).ok());
        EXPECT_EQ(value, 0xC0 + reg);  // byte 4 of the reply only
        expected.emplace_back(0x01000001 | (reg << 16), 0, 0);
    }
    uint32_t count = 0;
    EXPECT_EQ(ZPX_GetContModeCounter(h, &count), 0u);
    EXPECT_EQ(count, 0x1234u);
    expected.emplace_back(0x02040001, 0, 0);
    EXPECT_EQ(tcp.lastWaitMs, 5000u);

    const int waits = tcp.waits;
    EXPECT_EQ(ZPX_SetRunMode(h, 0x0C), 0u);
    EXPECT_EQ(ZPX_SetContModeCounter(h, 0x12345678), 0u);
    EXPECT_EQ(ZPX_SetTapEnable(h, 0xF0), 0u);
    expected.insert(expected.end(), {{0x01000002, 0x0C, 0},
                                     {0x02040002, 0x12345678, 0},
                                     {0x01020002, 0xF3, 0}});  // restored copy 0xC3
    EXPECT_EQ(tcp.waits, waits);                               // no reply awaited
    EXPECT_EQ(Packets(tcp, from), expected);
    EXPECT_EQ(tcp.sendSizes, std::vector<size_t>(expected.size(), 12));

    tcp.failSends = true;
    EXPECT_EQ(ZPX_SetRunMode(h, 0x04), 10u);
    EXPECT_EQ(ZPX_GetError(h, &count), 10u);
    EXPECT_EQ(tcp.waits, waits);
    EXPECT_EQ(ZPX_CloseController(h), 0u);
}

struct ReceiveCase {
    const char* what;
    std::vector<TcpEvent> script;
    bool ok;
    size_t replyBytes;  // bytes of the reply that land in the packet
    int waits;
    size_t pauses;  // 25 ms pauses after waits that saw nothing
};

TEST(LanLink, ExchangeAssemblesPiecesAndGivesUpAfterFourEmptyWaits) {
    std::vector<uint8_t> reply(12);
    for (size_t i = 0; i < 12; ++i)
        reply[i] = static_cast<uint8_t>(0x50 + i);
    auto piece = [&](size_t from, size_t to) {
        return TcpEvent{TcpEvent::kData, {reply.begin() + from, reply.begin() + to}};
    };
    const TcpEvent timeout{TcpEvent::kTimeout, {}};
    const ReceiveCase cases[] = {
        {"whole", {piece(0, 12)}, true, 12, 1, 0},
        {"two pieces", {piece(0, 5), timeout, piece(5, 12)}, true, 12, 3, 1},
        {"8 bytes then silence", {piece(0, 8)}, true, 8, 5, 4},
        {"silence", {}, false, 0, 4, 4},
        {"closed", {{TcpEvent::kClose, {}}}, false, 0, 1, 0},
        {"error", {{TcpEvent::kError, {}}}, false, 0, 1, 0},
        {"4 bytes then closed", {piece(0, 4), {TcpEvent::kClose, {}}}, false, 4, 2, 0},
    };
    for (const ReceiveCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedFakePlatform fake;
        auto tcp = std::make_shared<FakeTcpState>();
        tcp->script.assign(c.script.begin(), c.script.end());
        FakeTcpConnection socket(tcp);
        auto packet = transport::LanPacket::FromCommand(0x01010001, 0, 0xDEADBEEF);
        const auto request = packet;
        EXPECT_EQ(transport::LanExchange(socket, packet).ok(), c.ok);
        EXPECT_EQ(tcp->sent, std::vector<uint8_t>(request.bytes, request.bytes + 12));
        EXPECT_EQ(tcp->waits, c.waits);
        EXPECT_EQ(fake->sleepsMs, std::vector<uint32_t>(c.pauses, 25));
        // Bytes that never arrived keep what the packet held.
        for (size_t i = 0; i < 12; ++i)
            EXPECT_EQ(packet.bytes[i], i < c.replyBytes ? reply[i] : request.bytes[i]) << i;
    }
}

// Reads n bytes; fewer when the library falls silent for the socket's 3 s limit or closes, so
// that a fault fails the test instead of hanging it.
std::vector<uint8_t> ReadExactly(int fd, size_t n) {
    std::vector<uint8_t> bytes(n);
    bytes.resize(
        static_cast<size_t>(std::max<ssize_t>(0, ::recv(fd, bytes.data(), n, MSG_WAITALL))));
    return bytes;
}

// Register traffic over a real loopback socket against a scripted peer thread.
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
