// The emulator's own decoding where the library does not reach it: every field of every Ethernet
// request and driver request, broken streams, quiet and stalled clients and the slots they hold,
// reply faults, image uploads, pod-link frames the library has no export for yet, and the
// waveform file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "emu_platform.h"
#include "wire.h"
#include "zpx/driver_abi.h"
#include "zpx/zpx.h"

namespace zpx::emu {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A 12-byte packet, or a 16-byte memory header when `size` says so.
Bytes Packet(uint16_t opcode, uint8_t address, uint32_t data0, uint32_t data1 = 0,
             size_t size = 12) {
    Bytes p(size, 0);
    StoreU16(p.data(), opcode);
    p[2] = address;
    StoreU32(p.data() + 4, data0);
    StoreU32(p.data() + 8, data1);
    return p;
}

// A 12-byte packet from its command word, (width << 24) | (address << 16) | opcode.
Bytes Command(uint32_t command, uint32_t data0 = 0, uint32_t data1 = 0) {
    Bytes p =
        Packet(static_cast<uint16_t>(command), static_cast<uint8_t>(command >> 16), data0, data1);
    p[3] = static_cast<uint8_t>(command >> 24);
    return p;
}

// `p` with byte `offset` set to `value`, or with the u32 at `offset` set to it.
Bytes WithByte(Bytes p, size_t offset, uint8_t value) {
    p[offset] = value;
    return p;
}
Bytes WithU32(Bytes p, size_t offset, uint32_t value) {
    StoreU32(p.data() + offset, value);
    return p;
}

// Read register 3, one byte wide. A healthy connection answers with the identity byte.
const Bytes kReadRegister3 = {0x01, 0, 3, 1, 0, 0, 0, 0, 0, 0, 0, 0};

// A client connection through the platform's own TCP code. Every receive has a time-out, so that
// a missing reply fails instead of hanging.
struct RawClient {
    void Send(const Bytes& b) {
        const platform::Io sent = c->Send(b.data(), b.size(), false);
        EXPECT_TRUE(sent.done() && sent.bytes == b.size());
    }
    // Up to `n` bytes: fewer when the peer closed or the time-out ran out.
    Bytes Receive(size_t n) {
        Bytes out(n);
        size_t got = 0;
        for (platform::Io r; got < n && (r = c->ReceiveWithin(&out[got], n - got, 2000)).done();)
            got += r.bytes;
        out.resize(got);
        return out;
    }
    // Whether the peer hung up (closed or reset the connection) without sending anything more.
    bool Closed() {
        uint8_t b = 0;
        const platform::Io r = c->ReceiveWithin(&b, 1, 2000);
        return r.outcome == platform::Io::kClosed || r.outcome == platform::Io::kFailed;
    }

    std::unique_ptr<platform::TcpConnection> c;
};

// Register 3 of the default board reads revision 3, model 2, pod kind 1.
void ExpectServing(RawClient& c) {
    c.Send(kReadRegister3);
    const Bytes reply = c.Receive(12);
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(reply[4], 0x39);
}

void Connect(const std::string& address, uint16_t port, RawClient* client) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(std::sscanf(address.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d), 4);
    client->c =
        platform::System<platform::Network>().ConnectTcp(a << 24 | b << 16 | c << 8 | d, port, 0);
    ASSERT_NE(client->c, nullptr);
}

class LanServerTest : public ::testing::Test {
  protected:
    virtual LanServerOptions Options() { return {}; }
    void SetUp() override {
        LanServerOptions options = Options();
        options.requestLog = [this](std::string_view line) { Logged(&requests_, line); };
        options.events = [this](std::string_view line) { Logged(&events_, line); };
        server_ = std::make_unique<LanServer>(controller_, options);
        std::string error;
        ASSERT_TRUE(StartOnFreeLoopback(*server_, 0, &address_, &error)) << error;
    }
    // The server's threads log until it stops.
    void TearDown() override { server_.reset(); }
    void Connect(RawClient* client) { zpx::emu::Connect(address_, server_->Port(), client); }
    // A new connection is served.
    void ExpectNewClientServed() {
        RawClient c;
        ASSERT_NO_FATAL_FAILURE(Connect(&c));
        ExpectServing(c);
    }
    std::string LastLine(const std::vector<std::string>& lines) {
        std::lock_guard lock(logMutex_);
        return lines.empty() ? "" : lines.back();
    }
    std::vector<std::string> Lines(const std::vector<std::string>& lines) {
        std::lock_guard lock(logMutex_);
        return lines;
    }

    Controller controller_{ControllerConfig{}};
    std::unique_ptr<LanServer> server_;
    std::string address_;
    std::vector<std::string> requests_, events_;

  private:
    void Logged(std::vector<std::string>* lines, std::string_view line) {
        std::lock_guard lock(logMutex_);
        lines->emplace_back(line);
    }
    std::mutex logMutex_;
};

TEST_F(LanServerTest, BrokenStreamsCostOnlyTheirOwnConnection) {
    const struct {
        const char* what;
        Bytes bytes;
        bool serverCloses;  // the server must hang up by itself
    } cases[] = {
        {"half a packet", {0x01, 0x00, 0x03, 0x01, 0x00}, false},
        {"memory write cut short", Packet(0x0020, 0x0C, 64, 0, 16) + Bytes(10), false},
        {"impossible memory read", Packet(0x0010, 0x0C, 0x7FFFFFFF, 0, 16), true},
        {"impossible image", Packet(0x8000, 2, 0x7FFFFFFF), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client;
        ASSERT_NO_FATAL_FAILURE(Connect(&client));
        client.Send(c.bytes);
        EXPECT_TRUE(!c.serverCloses || client.Closed());
        client.c.reset();  // a cut-short stream ends here
        ExpectNewClientServed();
    }
    EXPECT_EQ(server_->ProtocolErrors(), 2u);
}

// What a request could change on the board: registers, counters, configuration items, the start
// of memory 0 and the last image.
std::vector<uint64_t> BoardState(Controller& c) {
    std::vector<uint64_t> state;
    for (unsigned reg : {1u, 4u, 6u, 7u}) {
        uint32_t v = 0;
        c.ReadRegister(reg, &v);
        state.push_back(v);
    }
    for (unsigned counter = 0; counter < 6; ++counter)
        state.push_back(c.ReadCounter(counter));
    for (unsigned item : {4u, 8u, 16u}) {
        uint32_t data0 = 0, data1 = 0;
        c.ReadConfigItem(item, &data0, &data1);
        state.push_back(data0);
        state.push_back(data1);
    }
    for (uint8_t byte : c.PeekMemory(0, 0, 8))
        state.push_back(byte);
    state.push_back(c.LastImage().bytes.size());
    return state;
}

// Every kind of request the controller takes, as the protocol lays it out, each followed by the
// same request with one field wrong. The first is carried out and answered; each of the others
// is a logged protocol error that changes nothing on the board and ends the connection, so that
// the client sees its request fail at once.
TEST_F(LanServerTest, EveryFieldOfEveryRequestIsChecked) {
    constexpr int kRefused = -1;
    struct Row {
        const char* what;
        Bytes request;  // with the data that follows it
        int reply;      // bytes answered, or kRefused
        bool changesBoard = false;
    };
    const Bytes abcd = {'a', 'b', 'c', 'd'};
    const Bytes r3 = kReadRegister3;
    const Bytes w1 = Command(0x01010002, 0x5A);
    const Bytes c0 = Command(0x04100008, 0x0846222C);              // 0x123456 packed
    const Bytes c4 = Command(0x03080008, 0x123456);                // 24 bits as they are
    const Bytes c5 = Command(0x06340008, 0x7E7E7E7E, 0x0000067E);  // 0xFFFFFFFF packed
    const Bytes rm = Packet(0x0010, 0x0C, 16, 0, 16);
    const Bytes wm = Packet(0x0020, 0x0C, 4, 0, 16) + abcd;
    const Bytes ip = Command(0x00084000, 0x0B00A8C0);
    const Bytes image = Packet(0x8000, 2, 4, 0x40D7) + abcd;  // with its documented checksum
    const Row rows[] = {
        {"read register 3", r3, 12},
        {"- width 2", WithByte(r3, 3, 2), kRefused},
        {"- width 0", WithByte(r3, 3, 0), kRefused},
        {"- register 5", WithByte(r3, 2, 5), kRefused},
        {"- register 0x0C", WithByte(r3, 2, 0x0C), kRefused},
        {"- data0 set", WithByte(r3, 4, 1), kRefused},
        {"- data1 set", WithByte(r3, 11, 0x80), kRefused},
        {"read word register 4", Command(0x02040001), 12},
        {"- width 1", Command(0x01040001), kRefused},
        {"write register 1", w1, 0, true},
        {"- width 2", WithByte(w1, 3, 2), kRefused},
        {"- register 8", WithByte(w1, 2, 8), kRefused},
        {"- data1 set", WithByte(w1, 8, 1), kRefused},
        {"write clock register 6", Command(0x01060002, 0x55), 0, true},
        {"- more than a byte", Command(0x01060002, 0x155), kRefused},
        {"write word register 4, all 32 bits", Command(0x02040002, 0x2BEEF), 0, true},
        {"- width 1", Command(0x01040002, 0xBEEF), kRefused},
        {"read counter 0x08", Command(0x03080004), 12},
        {"- width 4", Command(0x04080004), kRefused},
        {"- counter 0x10, written only", Command(0x04100004), kRefused},
        {"- data0 set", Command(0x03080004, 1), kRefused},
        {"read counter 0x34", Command(0x04340004), 12},
        {"- width 6", Command(0x06340004), kRefused},
        {"- data1 set", Command(0x04340004, 0, 1), kRefused},
        {"write counter 0x10", c0, 0, true},
        {"- bit 0 of a byte set", WithU32(c0, 4, 0x0846222D), kRefused},
        {"- bit 7 of a byte set", WithU32(c0, 4, 0x8846222C), kRefused},
        {"- width 3", WithByte(c0, 3, 3), kRefused},
        {"- data1 set", WithByte(c0, 8, 2), kRefused},
        {"- counter 0x14", WithByte(c0, 2, 0x14), kRefused},
        {"write counter 0x08", c4, 0, true},
        {"- over 24 bits", WithU32(c4, 4, 0x01123456), kRefused},
        {"- width 4", WithByte(c4, 3, 4), kRefused},
        {"write counter 0x34", c5, 0, true},
        {"- group 5 over two bits", WithU32(c5, 8, 0x0000087E), kRefused},
        {"- data1 byte 2 set", WithU32(c5, 8, 0x0001067E), kRefused},
        {"- width 4", WithByte(c5, 3, 4), kRefused},
        {"read memory 0", rm, 16, true},
        {"- width 1", WithByte(rm, 3, 1), kRefused},
        {"- select code 0x0D", WithByte(rm, 2, 0x0D), kRefused},
        {"- select code 0", WithByte(rm, 2, 0), kRefused},
        {"- data1 set", WithByte(rm, 9, 1), kRefused},
        {"- byte 12 set", WithByte(rm, 12, 1), kRefused},
        {"- byte 15 set", WithByte(rm, 15, 0x80), kRefused},
        {"- more than a piece", WithU32(rm, 4, 8193), kRefused},
        {"read memory 1, a whole piece", Packet(0x0010, 0x14, 8192, 0, 16), 8192, true},
        {"write memory 0", wm, 0, true},
        {"- width 4", WithByte(wm, 3, 4), kRefused},
        {"- select code 0x10", WithByte(wm, 2, 0x10), kRefused},
        {"- data1 set", WithByte(wm, 10, 1), kRefused},
        {"- byte 13 set", WithByte(wm, 13, 1), kRefused},
        {"read item 8", Command(0x00082000), 12},
        {"- item 3", Command(0x00032000), kRefused},
        {"- width 1", Command(0x01082000), kRefused},
        {"- data0 set", Command(0x00082000, 1), kRefused},
        {"- data1 set", Command(0x00082000, 0, 1), kRefused},
        {"write item 8", ip, 0, true},
        {"- item 1, read only", WithByte(ip, 2, 1), kRefused},
        {"- width 4", WithByte(ip, 3, 4), kRefused},
        {"- data1 set", WithByte(ip, 8, 1), kRefused},
        {"write item 4, both words", Command(0x00044000, 0x11223344, 0x5566), 0, true},
        {"- width 6", Command(0x06044000, 0x11223344, 0x5566), kRefused},
        {"image", image, 12, true},
        {"- kind 3", WithByte(image, 2, 3), kRefused},
        {"- kind 0", WithByte(image, 2, 0), kRefused},
        {"- kind over a byte", WithByte(image, 3, 1), kRefused},
        {"empty packet", Bytes(12), 0},
        {"- data0 set", WithByte(Bytes(12), 4, 1), kRefused},
        {"- opcode 0x0040", WithByte(Bytes(12), 0, 0x40), kRefused},
        {"- opcode 0x1234", Command(0x00001234), kRefused},
    };
    uint64_t errors = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto before = BoardState(controller_);
        RawClient client;
        ASSERT_NO_FATAL_FAILURE(Connect(&client));
        client.Send(row.request + kReadRegister3);
        if (row.reply == kRefused) {
            EXPECT_TRUE(client.Closed());
            EXPECT_EQ(server_->ProtocolErrors(), ++errors);
            const std::string logged = LastLine(requests_);
            EXPECT_NE(logged.find("protocol error"), std::string::npos) << logged;
            EXPECT_EQ(BoardState(controller_), before);
            continue;
        }
        // Answered, and the stream still in step: the register read after it is answered too.
        const size_t n = static_cast<size_t>(row.reply);
        const Bytes reply = client.Receive(n + 12);
        ASSERT_EQ(reply.size(), n + 12);
        EXPECT_EQ(reply[n + 4], 0x39);
        EXPECT_EQ(server_->ProtocolErrors(), errors);
        EXPECT_EQ(BoardState(controller_) != before, row.changesBoard);
    }
    // The board took the values as the protocol carries them; address counter 0 moved on with
    // the 16 bytes read and the 4 written after it was loaded.
    EXPECT_EQ(controller_.ReadCounter(0), 0x123456u + 16 + 4);
    EXPECT_EQ(controller_.ReadCounter(4), 0x123456u);
    EXPECT_EQ(controller_.ReadCounter(5), 0xFFFFFFFFu);
    EXPECT_EQ(controller_.LastImage().bytes, abcd);
    ExpectNewClientServed();
}

TEST_F(LanServerTest, FaultsShapeTheReplies) {
    Fault shortReply, closeAfter, bad;
    ASSERT_TRUE(ParseFault("short:1:5", &shortReply));
    ASSERT_TRUE(ParseFault("close:3", &closeAfter));
    server_->SetFaults({shortReply, closeAfter});

    RawClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(&client));
    client.Send(kReadRegister3 + kReadRegister3);
    // Five bytes of the first reply, then the whole second one: 17 bytes, and nothing more.
    EXPECT_EQ(client.Receive(17).size(), 17u);
    client.Send(kReadRegister3);
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(server_->RequestCount(), 3u);
    ExpectNewClientServed();

    for (const char* text : {"short:1", "drop:0", "delay:x", "bogus:1", "close:2:5", "drop:1x"})
        EXPECT_FALSE(ParseFault(text, &bad)) << text;
}

TEST_F(LanServerTest, ImagesAreCheckedAgainstTheirHeaderChecksum) {
    // The checksum covers whole 32-bit words only: a trailing odd byte is not part of it.
    const struct {
        const char* image;
        uint16_t crc;
        bool accepted;
    } cases[] = {{"abcdefgh", 0xD1FD, true}, {"abcdefgh", 0xD1FC, false}, {"abcde", 0x40D7, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const Bytes image(c.image, c.image + std::string(c.image).size());
        RawClient client;
        ASSERT_NO_FATAL_FAILURE(Connect(&client));
        client.Send(Packet(0x8000, 2, image.size(), c.crc | (0x0907u << 16)) + image);
        const Bytes reply = client.Receive(12);
        ASSERT_EQ(reply.size(), 12u);
        EXPECT_EQ(LoadU32(reply.data() + 4),
                  c.accepted ? 0u : controller_.Config().imageRefusedStatus);
        EXPECT_EQ(controller_.LastImage().bytes, image);
        EXPECT_EQ(controller_.LastImage().callerByte2, 9);
    }
}

// A server with a short idle limit.
class QuietClientsTest : public LanServerTest {
  protected:
    static constexpr uint32_t kLimitMs = 600;
    LanServerOptions Options() override {
        LanServerOptions options;
        options.idleTimeoutMs = kLimitMs;
        return options;
    }
};

TEST_F(QuietClientsTest, QuietAndStalledConnectionsAreDroppedAfterTheLimit) {
    RawClient quiet, stalled, busy;
    ASSERT_NO_FATAL_FAILURE(Connect(&quiet));
    ASSERT_NO_FATAL_FAILURE(Connect(&stalled));
    ASSERT_NO_FATAL_FAILURE(Connect(&busy));
    stalled.Send({0x01, 0x00, 0x03});  // the start of a packet, and then nothing
    // A client that asks well within the limit is served throughout, for twice the limit.
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kLimitMs / 6));
        ASSERT_NO_FATAL_FAILURE(ExpectServing(busy));
    }
    EXPECT_TRUE(quiet.Closed());
    EXPECT_TRUE(stalled.Closed());
    EXPECT_EQ(server_->ConnectionsTimedOut(), 2u);
    int inside = 0;
    for (const std::string& line : Lines(events_))
        inside += line.find("inside a request, dropping") != std::string::npos;
    EXPECT_EQ(inside, 1);

    // Quiet for less than the limit is no reason to drop.
    RawClient fresh;
    ASSERT_NO_FATAL_FAILURE(Connect(&fresh));
    std::this_thread::sleep_for(std::chrono::milliseconds(kLimitMs / 3));
    ExpectServing(fresh);
    EXPECT_EQ(server_->ConnectionsTimedOut(), 2u);
}

// Every connection the server allows held open by a client that sends nothing: the library
// still opens the controller, in place of the connection that has been quiet the longest.
TEST(LanServerSlots, ANewClientIsNeverLockedOutByQuietOnes) {
    testing::LanStation station;  // 32 connections, quiet ones dropped only after 30 s
    std::vector<RawClient> clients(32);
    for (RawClient& client : clients)
        ASSERT_NO_FATAL_FAILURE(Connect(station.name.substr(3), kLanPort, &client));
    // Every client but the first has asked something since it connected.
    for (size_t i = 1; i < clients.size(); ++i)
        ASSERT_NO_FATAL_FAILURE(ExpectServing(clients[i]));

    uint32_t status = 99;
    ZPX_Handle handle = ZPX_OpenController(station.name.c_str(), &status);
    ASSERT_EQ(status, ZPX_STATUS_OK);
    ASSERT_NE(handle, nullptr);
    uint32_t type = 99;
    EXPECT_EQ(ZPX_GetControllerType(handle, &type), ZPX_STATUS_OK);
    EXPECT_EQ(type, 2u);
    EXPECT_TRUE(clients[0].Closed());
    EXPECT_EQ(station.server.ConnectionsEvicted(), 1u);
    for (size_t i = 1; i < clients.size(); ++i)
        ExpectServing(clients[i]);
    EXPECT_EQ(ZPX_CloseController(handle), ZPX_STATUS_OK);
}

// Little-endian u32 words as a driver buffer.
Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words) {
        b.resize(b.size() + 4);
        StoreU32(b.data() + b.size() - 4, w);
    }
    return b;
}

// A memory or image piece of `length` bytes: select, the reserved word, the count, data bytes.
Bytes Piece(uint32_t select, uint32_t reserved, uint32_t count, uint32_t length) {
    Bytes b = Words({select, reserved, count});
    b.resize(length, 0x5A);
    return b;
}

// Each driver request with its buffers as the drivers take them, each followed by the same
// request with one buffer size or field wrong. The first is carried out; each of the others is
// refused as a logged protocol error and changes nothing on the board.
TEST(DriverStandInTest, EveryFieldOfEveryRequestIsChecked) {
    using enum DriverKind;
    constexpr uint32_t kRead = ZPX_REQ_REGISTER_READ, kWrite = ZPX_REQ_REGISTER_WRITE;
    constexpr uint32_t kMemWrite = ZPX_REQ_MEMORY_WRITE, kMemRead = ZPX_REQ_MEMORY_READ;
    constexpr uint32_t kCntRead = ZPX_REQ_COUNTER_READ, kCntWrite = ZPX_REQ_COUNTER_WRITE;
    constexpr uint32_t kConfWrite = ZPX_REQ_CONFIG_WRITE, kConfRead = ZPX_REQ_CONFIG_READ;
    constexpr uint32_t kPiece = ZPX_REQ_IMAGE_PIECE;
    const Bytes setIp = Command(0x00084000, 0x0B00A8C0);
    const Bytes readIp = Command(0x00082000);
    struct Row {
        const char* what;
        DriverKind kind;
        int type;  // of the board
        uint32_t code;
        Bytes in;
        uint32_t outLength;
        bool taken;
    };
    const Row rows[] = {
        {"register read", kPci, 2, kRead, Words({0, 0}), 8, true},
        {"- value field set", kPci, 2, kRead, Words({0, 1}), 8, false},
        {"- input of 4 bytes", kPci, 2, kRead, Words({0}), 8, false},
        {"- output of 4 bytes", kPci, 2, kRead, Words({0, 0}), 4, false},
        {"- register 9", kPci, 2, kRead, Words({9, 0}), 8, false},
        {"clock register write", kPci, 2, kWrite, Words({6, 0x55}), 8, true},
        {"- more than a byte", kPci, 2, kWrite, Words({6, 0x155}), 8, false},
        {"- register 9", kPci, 2, kWrite, Words({9, 1}), 8, false},
        {"- no output", kPci, 2, kWrite, Words({6, 0x55}), 0, false},
        {"clock register write on ISA", kIsa, 0, kWrite, Words({31, 7}), 8, true},
        {"- more than a byte", kIsa, 0, kWrite, Words({31, 0x107}), 8, false},
        {"- register 6", kIsa, 0, kWrite, Words({6, 7}), 8, false},
        {"quadlet read", kFireWire, 1, kRead, Words({4, 0}), 8, true},
        {"- register 1", kFireWire, 1, kRead, Words({1, 0}), 8, false},
        {"memory write", kPci, 2, kMemWrite, Piece(0, 0, 10, 26), 0, true},
        {"- offset 4 set", kPci, 2, kMemWrite, Piece(0, 1, 10, 26), 0, false},
        {"- select 6", kPci, 2, kMemWrite, Piece(6, 0, 10, 26), 0, false},
        {"- rounded length", kPci, 2, kMemWrite, Piece(0, 0, 10, 28), 0, false},
        {"- an output", kPci, 2, kMemWrite, Piece(0, 0, 10, 26), 26, false},
        {"- more than the buffer", kPci, 2, kMemWrite, Piece(0, 0, 4097, 4113), 0, false},
        // The USB driver takes a piece at its exact length or rounded up to whole quadlets,
        // whatever the board.
        {"memory write on USB", kUsb, 2, kMemWrite, Piece(0, 0, 10, 26), 0, true},
        {"- rounded", kUsb, 2, kMemWrite, Piece(1, 0, 10, 28), 0, true},
        {"- rounded, 5120 family", kUsb, 0, kMemWrite, Piece(1, 0, 10, 28), 0, true},
        {"- 27 bytes", kUsb, 2, kMemWrite, Piece(0, 0, 10, 27), 0, false},
        {"- 29 bytes", kUsb, 2, kMemWrite, Piece(0, 0, 10, 29), 0, false},
        {"- offset 4 set", kUsb, 2, kMemWrite, Piece(0, 4, 10, 28), 0, false},
        {"memory read", kPci, 2, kMemRead, Piece(2, 0, 10, 26), 26, true},
        {"- output of 28 bytes", kPci, 2, kMemRead, Piece(2, 0, 10, 26), 28, false},
        {"- offset 4 set", kPci, 2, kMemRead, Piece(2, 0x100, 10, 26), 26, false},
        {"counter read", kPci, 2, kCntRead, Words({5, 0}), 8, true},
        {"- value field set", kPci, 2, kCntRead, Words({5, 7}), 8, false},
        {"- counter 6", kPci, 2, kCntRead, Words({6, 0}), 8, false},
        {"counter write", kPci, 2, kCntWrite, Words({5, 9}), 8, true},
        {"- counter 6", kPci, 2, kCntWrite, Words({6, 9}), 8, false},
        {"- no output", kPci, 2, kCntWrite, Words({5, 9}), 0, false},
        {"set address", kPci, 2, ZPX_REQ_SET_ADDRESS, Words({3, 0x100}), 0, true},
        {"- select 4", kPci, 2, ZPX_REQ_SET_ADDRESS, Words({4, 0x100}), 0, false},
        {"- an output", kPci, 2, ZPX_REQ_SET_ADDRESS, Words({3, 0x100}), 8, false},
        {"immediate address read", kPci, 2, ZPX_REQ_READ_IMM_ADDR, Words({0}), 4, true},
        {"- input set", kPci, 2, ZPX_REQ_READ_IMM_ADDR, Words({1}), 4, false},
        {"immediate address write", kPci, 2, ZPX_REQ_WRITE_IMM_ADDR, Words({0x1234}), 0, true},
        {"- an output", kPci, 2, ZPX_REQ_WRITE_IMM_ADDR, Words({0x1234}), 4, false},
        {"identification", kPci, 2, ZPX_REQ_DRIVER_ID, Words({0}), 4, true},
        {"- input set", kPci, 2, ZPX_REQ_DRIVER_ID, Words({1}), 4, false},
        {"- input of 8 bytes", kPci, 2, ZPX_REQ_DRIVER_ID, Words({0, 0}), 4, false},
        {"status registers", kPci, 0, ZPX_REQ_STATUS_REGISTERS, Words({0, 0}), 8, true},
        {"- input set", kPci, 0, ZPX_REQ_STATUS_REGISTERS, Words({0, 1}), 8, false},
        {"pod sense", kPci, 0, ZPX_REQ_POD_SENSE, Words({0}), 4, true},
        {"- input set", kPci, 0, ZPX_REQ_POD_SENSE, Words({2}), 4, false},
        {"item write", kUsb, 2, kConfWrite, setIp, 0, true},
        {"- item 1, read only", kUsb, 2, kConfWrite, WithByte(setIp, 2, 1), 0, false},
        {"- width 1", kUsb, 2, kConfWrite, WithByte(setIp, 3, 1), 0, false},
        {"- read opcode", kUsb, 2, kConfWrite, WithByte(setIp, 1, 0x20), 0, false},
        {"- 16 bytes", kUsb, 2, kConfWrite, setIp + Bytes(4), 0, false},
        {"item read", kUsb, 2, kConfRead, readIp, 12, true},
        {"- data0 set", kUsb, 2, kConfRead, WithByte(readIp, 5, 1), 12, false},
        {"- write opcode", kUsb, 2, kConfRead, WithByte(readIp, 1, 0x40), 12, false},
        // Image pieces, after the header of a 4-byte image.
        {"image piece", kUsb, 2, kPiece, Piece(0, 0, 4, 20), 0, true},
        {"- offset 4 set", kUsb, 2, kPiece, Piece(0, 1, 4, 20), 0, false},
        {"- select 1", kUsb, 2, kPiece, Piece(1, 0, 4, 20), 0, false},
        {"- beyond the image", kUsb, 2, kPiece, Piece(0, 0, 8, 24), 0, false},
        {"update announcement", kFireWire, 1, kConfWrite, Bytes(12), 0, true},
        {"- not all 0", kFireWire, 1, kConfWrite, WithByte(Bytes(12), 2, 8), 0, false},
    };
    const Bytes imageHeader = Packet(0x8000, 2, 4);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ControllerConfig config;
        config.type = row.type;
        Controller controller(config);
        std::string logged;
        DriverOptions options;
        options.kind = row.kind;
        options.log = [&logged](std::string_view line) { logged = line; };
        DriverStandIn driver(controller, options);
        if (row.code == kPiece) {
            ASSERT_TRUE(driver.Request(kConfWrite, imageHeader.data(), 12, nullptr, 0));
        }
        const auto before = BoardState(controller);
        Bytes out(row.outLength);
        EXPECT_EQ(driver.Request(row.code, row.in.data(), static_cast<uint32_t>(row.in.size()),
                                 out.empty() ? nullptr : out.data(), row.outLength),
                  row.taken);
        EXPECT_EQ(driver.ProtocolErrors(), row.taken ? 0u : 1u) << logged;
        if (!row.taken) {
            EXPECT_NE(logged.find("protocol error"), std::string::npos) << logged;
            EXPECT_EQ(BoardState(controller), before);
        }
    }
}

// Drives register 2 the way the pod link does, bit by bit, from the pod's documented frames.
// '0' and '1' are sent; '?' samples the pod's bit before its clock and sends it back (a pin
// exchange keeps the pins); '^' sends a 1 and samples after the clock; spaces group the fields
// (of the samples too). Returns the samples.
std::string Frame(Controller& c, unsigned tap, const char* bits) {
    std::string sampled;
    const auto sample = [&] {
        uint32_t r = 0;
        c.ReadRegister(kPodRegister, &r);
        sampled += (r & 1) != 0 ? '1' : '0';
        return sampled.back() == '1';
    };
    auto v = static_cast<uint8_t>(tap * 64 + 9);
    c.WriteRegister(kPodRegister, v);
    for (; *bits; ++bits) {
        if (*bits == ' ' && !sampled.empty()) sampled += ' ';
        if (*bits == ' ') continue;
        const bool b = *bits == '?' ? sample() : *bits != '0';
        v = static_cast<uint8_t>((v & ~0x30) | (b ? 0x10 : 0));
        c.WriteRegister(kPodRegister, v);
        c.WriteRegister(kPodRegister, v | 0x20);
        if (*bits == '^') sample();
    }
    c.WriteRegister(kPodRegister, 0x01);
    return sampled;
}

// The pin-exchange frame that drives nothing new: the identity (high bit first), the inverted
// data pins and the control pins, pin 0 first.
std::string ExchangeRead(Controller& c, unsigned tap) {
    return Frame(c, tap, "01001 ?? ???? ????");
}

// What the pod's frames do to the TAPs is seen through the library on every back-end; here what
// the library never sends: frames to an unpowered pod, and frames the pod does not know.
TEST(PodLinkTest, AnUnpoweredPodAndUnknownFramesChangeNothing) {
    ControllerConfig config;
    config.type = 1;
    Controller c(config);
    // Unpowered, the pod does not answer: every bit reads 1, and a write changes nothing.
    Frame(c, 2, "010000 1010 0110");
    EXPECT_EQ(ExchangeRead(c, 2), "11 1111 1111");
    c.WriteRegister(kPowerRegister, 1);
    c.WriteRegister(kPowerRegister, 3);
    EXPECT_EQ(ExchangeRead(c, 2), "00 1111 0000");

    // A frame the pod does not know is ignored and the next one decodes as usual.
    const uint64_t ignored = c.PodFramesIgnored();
    Frame(c, 2, "1000101");
    EXPECT_EQ(c.PodFramesIgnored(), ignored + 1);
    Frame(c, 2, "010000 1010 0110");
    EXPECT_EQ(ExchangeRead(c, 2), "00 1010 0110");
}

// Checks a VCD file of the pod link: the header sections, seven declared signals, times that
// increase, value changes of declared signals only, at least `minClockRises` rising edges of the
// clock and `frames` decoded frames (when not negative); returns the number of rising edges.
int ExpectWellFormedVcd(const std::string& path, int minClockRises, int frames = -1) {
    std::ifstream in(path);
    std::string line, keyword, type, width, id, header;
    std::set<std::string> ids;
    while (std::getline(in, line) && line != "$enddefinitions $end") {
        std::istringstream words(line);
        words >> keyword;
        header += keyword + " ";
        if (keyword == "$var" && words >> type >> width >> id) ids.insert(id);
    }
    EXPECT_EQ(header,
              "$date $version $comment $timescale $scope $var $var $var $var $var $var $var "
              "$upscope ");
    EXPECT_EQ(ids.size(), 7u);
    long long last = -1;
    int rises = 0, changes = 0, frameChanges = -1;  // the first is the initial value
    while (std::getline(in, line)) {
        if (line.empty() || line == "$dumpvars" || line == "$end") continue;
        if (line[0] == '#') {
            EXPECT_GT(std::stoll(line.substr(1)), last) << line;
            last = std::stoll(line.substr(1));
            continue;
        }
        id = line[0] == 'b' ? line.substr(line.find(' ') + 1) : line.substr(1);
        EXPECT_EQ(ids.count(id), 1u) << line;
        ++changes;
        rises += line == "1!" ? 1 : 0;
        frameChanges += id == "&" ? 1 : 0;
    }
    if (frames >= 0) {
        EXPECT_EQ(frameChanges, frames);
    }
    EXPECT_GE(rises, minClockRises);
    EXPECT_GT(changes, 2 * rises);
    return rises;
}

TEST(VcdTest, PodLinkWaveformIsWellFormed) {
    const std::string path = ::testing::TempDir() + "pod_link_test.vcd";
    Controller c(ControllerConfig{});
    c.WriteRegister(kPowerRegister, 1);
    c.WriteRegister(kPowerRegister, 3);
    ASSERT_TRUE(c.StartVcd(path));
    ExchangeRead(c, 1);
    c.StopVcd();
    // Header (5 bits) and ten exchanged bits: one rising clock edge each; one frame.
    EXPECT_EQ(ExpectWellFormedVcd(path, 15, 1), 15);
    std::remove(path.c_str());
}

// The waveform that `zpxctl demo --vcd` left behind (ctest runs the demo first and names the
// file in ZPX_DEMO_VCD); skipped when run on its own. The demo reads the pod's serial ROM: eight
// register-2 writes with a rising clock edge in every second one.
TEST(VcdTest, DemoWaveformIsWellFormed) {
    const char* path = std::getenv("ZPX_DEMO_VCD");
    if (path == nullptr) GTEST_SKIP() << "ZPX_DEMO_VCD not set";
    ExpectWellFormedVcd(path, 3);
}

}  // namespace
}  // namespace zpx::emu
