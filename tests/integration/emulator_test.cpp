// The emulator's own decoding where the library does not reach it: broken streams, reply faults,
// image uploads and pod-link frames the library has no export for yet, and the waveform file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "controller.h"
#include "lan_server.h"
#include "platform/platform.h"
#include "wire.h"

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

// Read register 3, one byte wide. A healthy connection answers with the identity byte.
const Bytes kReadRegister3 = {0x01, 0, 3, 1, 0, 0, 0, 0, 0, 0, 0, 0};

// A client connection through the platform's own TCP code. Every receive has a time-out, so that
// a missing reply fails instead of hanging.
struct RawClient {
    void Send(const Bytes& b) {
        EXPECT_EQ(c->Send(b.data(), b.size(), false), static_cast<long>(b.size()));
    }
    // Up to `n` bytes: fewer when the peer closed or the time-out ran out.
    Bytes Receive(size_t n) {
        Bytes out(n);
        size_t got = 0;
        for (long r = 1; got < n && (r = c->ReceiveWithin(&out[got], n - got, 2000)) > 0;)
            got += static_cast<size_t>(r);
        out.resize(got);
        return out;
    }
    // Whether the peer hung up without sending anything more.
    bool Closed() {
        uint8_t b = 0;
        return c->ReceiveWithin(&b, 1, 2000) == 0;
    }

    std::unique_ptr<platform::TcpConnection> c;
};

class LanServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(StartOnFreeLoopback(server_, 0, &address_, &error)) << error;
    }
    // Register 3 of the default board reads revision 3, model 2, pod kind 1.
    void ExpectServing(RawClient c) {
        c.Send(kReadRegister3);
        const Bytes reply = c.Receive(12);
        ASSERT_EQ(reply.size(), 12u);
        EXPECT_EQ(reply[4], 0x39);
    }
    RawClient Connect() {
        unsigned a = 0, b = 0, c = 0, d = 0;
        EXPECT_EQ(std::sscanf(address_.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d), 4);
        RawClient client{platform::System<platform::Network>().ConnectTcp(
            a << 24 | b << 16 | c << 8 | d, server_.Port(), 0)};
        EXPECT_NE(client.c, nullptr);
        return client;
    }

    Controller controller_{ControllerConfig{}};
    LanServer server_{controller_};
    std::string address_;
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
        RawClient client = Connect();
        client.Send(c.bytes);
        EXPECT_TRUE(!c.serverCloses || client.Closed());
        client.c.reset();  // a cut-short stream ends here
        ExpectServing(Connect());
    }
    EXPECT_EQ(server_.ConnectionsDropped(), 2u);

    // An opcode the controller does not know is skipped, and the stream stays in step.
    RawClient client = Connect();
    client.Send(Packet(0x1234, 0, 0) + Packet(0, 0, 0));
    ExpectServing(std::move(client));
}

TEST_F(LanServerTest, FaultsShapeTheReplies) {
    Fault shortReply, closeAfter, bad;
    ASSERT_TRUE(ParseFault("short:1:5", &shortReply));
    ASSERT_TRUE(ParseFault("close:3", &closeAfter));
    server_.SetFaults({shortReply, closeAfter});

    RawClient client = Connect();
    client.Send(kReadRegister3 + kReadRegister3);
    // Five bytes of the first reply, then the whole second one: 17 bytes, and nothing more.
    EXPECT_EQ(client.Receive(17).size(), 17u);
    client.Send(kReadRegister3);
    EXPECT_TRUE(client.Closed());
    EXPECT_EQ(server_.RequestCount(), 3u);
    ExpectServing(Connect());

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
        RawClient client = Connect();
        client.Send(Packet(0x8000, 2, image.size(), c.crc | (0x0907u << 16)) + image);
        const Bytes reply = client.Receive(12);
        ASSERT_EQ(reply.size(), 12u);
        EXPECT_EQ(LoadU32(reply.data() + 4),
                  c.accepted ? 0u : controller_.Config().imageRefusedStatus);
        EXPECT_EQ(controller_.LastImage().bytes, image);
        EXPECT_EQ(controller_.LastImage().callerByte2, 9);
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

TEST(PodLinkTest, FramesReachTheTapsAndComeBack) {
    ControllerConfig config;
    config.type = 1;
    config.taps[1].identity = 1;
    config.taps[3].present = false;
    Controller c(config);

    // Unpowered, the pod does not answer: every bit reads 1.
    EXPECT_EQ(ExchangeRead(c, 0), "11 1111 1111");
    c.WriteRegister(kPowerRegister, 1);
    c.WriteRegister(kPowerRegister, 3);

    // Write pins: header, inverted data nibble and control nibble, pin 0 first.
    Frame(c, 2, "010000 1010 0110");
    EXPECT_EQ(c.Tap(2).data, 0xA);
    EXPECT_EQ(c.Tap(2).control, 0x6);
    const char* const expected[] = {"00 1111 0000", "01 1111 0000", "00 1010 0110", "11 1111 1111"};
    for (unsigned tap = 0; tap < 4; ++tap)
        EXPECT_EQ(ExchangeRead(c, tap), expected[tap]) << tap;

    // Output DAC code 675 (3300 mV), then the read-back of the output voltage: the ADC rounds
    // 3300 mV × 255 / 4096 = 205.4 up to 206.
    Frame(c, 2, "0011001 1010100011 00");
    EXPECT_EQ(c.Tap(2).outputCode, 675);
    EXPECT_EQ(Frame(c, 2, "10011011111 ^^^^^^^^"), "11001110");

    // A frame the pod does not know is ignored and the next one decodes as usual.
    const uint64_t ignored = c.PodFramesIgnored();
    Frame(c, 2, "1000101");
    EXPECT_EQ(c.PodFramesIgnored(), ignored + 1);
    Frame(c, 2, "010000 1111 0000");
    EXPECT_EQ(c.Tap(2).data, 0x0);
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
