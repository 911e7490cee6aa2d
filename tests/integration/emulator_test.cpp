// The emulator's own decoding where the library does not reach it: broken streams, reply faults,
// pod-link frames the library has no export for yet, and the waveform file.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "controller.h"
#include "lan_server.h"
#include "wire.h"

namespace zpx::emu {
namespace {

// A bare TCP client with a receive time-out, so that a missing reply fails instead of hanging.
class RawClient {
  public:
    RawClient(const std::string& address, uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        timeval tv{2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~RawClient() { close(fd_); }
    bool connected() const { return connected_; }
    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Up to `n` bytes; fewer when the peer closed or the time-out ran out. *closed tells which.
    std::vector<uint8_t> Receive(size_t n, bool* closed = nullptr) {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        bool eof = false;
        while (got < n) {
            const ssize_t r = recv(fd_, out.data() + got, n - got, 0);
            if (r <= 0) {
                eof = r == 0;
                break;
            }
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        if (closed) *closed = eof;
        return out;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

std::vector<uint8_t> Packet(uint16_t opcode, uint8_t address, uint8_t width, uint32_t data0,
                            uint32_t data1 = 0, bool memoryHeader = false) {
    std::vector<uint8_t> p(memoryHeader ? 16 : 12, 0);
    p[0] = static_cast<uint8_t>(opcode);
    p[1] = static_cast<uint8_t>(opcode >> 8);
    p[2] = address;
    p[3] = width;
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = static_cast<uint8_t>(data0 >> (8 * i));
        p[8 + i] = static_cast<uint8_t>(data1 >> (8 * i));
    }
    return p;
}

std::vector<uint8_t> ReadRegister3() {
    return Packet(0x0001, 3, 1, 0);
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class LanServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config_.type = 2;
        config_.epldRevision = 5;
        config_.podKind = 1;
        controller_ = std::make_unique<Controller>(config_);
        server_ = std::make_unique<LanServer>(*controller_);
        std::string error;
        ASSERT_TRUE(StartOnFreeLoopback(*server_, 0, &address_, &error)) << error;
    }
    // The identity byte a healthy connection reads from register 3: revision 5, model 2, pod 1.
    void ExpectServing() {
        RawClient c(address_, server_->Port());
        ASSERT_TRUE(c.connected());
        c.Send(ReadRegister3());
        const auto reply = c.Receive(12);
        ASSERT_EQ(reply.size(), 12u);
        EXPECT_EQ(reply[4], 0x59);
    }

    ControllerConfig config_;
    std::unique_ptr<Controller> controller_;
    std::unique_ptr<LanServer> server_;
    std::string address_;
};

TEST_F(LanServerTest, BrokenStreamsCostOnlyTheirOwnConnection) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool serverCloses;  // the server must hang up by itself
    };
    const std::vector<Case> cases = {
        {"half a packet", {0x01, 0x00, 0x03, 0x01, 0x00}, false},
        {"memory write cut short", Packet(0x0020, 0x0C, 0, 64, 0, true) + std::vector<uint8_t>(10),
         false},
        {"impossible memory read", Packet(0x0010, 0x0C, 0, 0x7FFFFFFF, 0, true), true},
        {"impossible image", Packet(0x8000, 2, 0, 0x7FFFFFFF), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            RawClient client(address_, server_->Port());
            ASSERT_TRUE(client.connected());
            client.Send(c.bytes);
            if (c.serverCloses) {
                bool closed = false;
                EXPECT_TRUE(client.Receive(1, &closed).empty());
                EXPECT_TRUE(closed);
            }
        }
        ExpectServing();
    }
    EXPECT_EQ(server_->ConnectionsDropped(), 2u);

    // An opcode the controller does not know is skipped, and the stream stays in step.
    RawClient client(address_, server_->Port());
    client.Send(Packet(0x1234, 0, 0, 0) + Packet(0, 0, 0, 0) + ReadRegister3());
    const auto reply = client.Receive(12);
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(reply[4], 0x59);
}

TEST_F(LanServerTest, FaultsShapeTheReplies) {
    Fault shortReply, closeAfter;
    ASSERT_TRUE(ParseFault("short:1:5", &shortReply));
    ASSERT_TRUE(ParseFault("close:3", &closeAfter));
    server_->SetFaults({shortReply, closeAfter});

    RawClient client(address_, server_->Port());
    client.Send(ReadRegister3() + ReadRegister3());
    // Five bytes of the first reply, then the whole second one: 17 bytes, and nothing more.
    EXPECT_EQ(client.Receive(17).size(), 17u);
    client.Send(ReadRegister3());
    bool closed = false;
    EXPECT_TRUE(client.Receive(1, &closed).empty());
    EXPECT_TRUE(closed);
    EXPECT_EQ(server_->RequestCount(), 3u);
    ExpectServing();

    Fault bad;
    for (const char* text : {"short:1", "drop:0", "delay:x", "bogus:1", "close:2:5", "drop:1x"})
        EXPECT_FALSE(ParseFault(text, &bad)) << text;
}

TEST_F(LanServerTest, ImagesAreCheckedAgainstTheirHeaderChecksum) {
    const std::vector<uint8_t> image = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    for (const uint16_t crc : {uint16_t{0xD1FD}, uint16_t{0xD1FC}}) {
        RawClient client(address_, server_->Port());
        std::vector<uint8_t> header = Packet(0x8000, 2, 0, 8, crc | (0x0907u << 16));
        client.Send(header + image);
        const auto reply = client.Receive(12);
        ASSERT_EQ(reply.size(), 12u);
        EXPECT_EQ(LoadU32(reply.data() + 4), crc == 0xD1FD ? 0u : config_.imageRefusedStatus);
        EXPECT_EQ(controller_->LastImage().bytes, image);
        EXPECT_EQ(controller_->LastImage().callerByte2, 9);
    }
}

TEST(ControllerModelTest, ChecksumsAndClockMatchTheDocumentedExamples) {
    const uint8_t goodRom[] = {1, 2, 3, 4, 5, 6, 7, 0x0F};
    const uint8_t badRom[] = {1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Crc8Maxim(goodRom, 8), 0);
    EXPECT_EQ(Crc8Maxim(badRom, 8), 0x43);
    const auto rom = SerialRom(0x665544332211, false);
    EXPECT_EQ(Crc8Maxim(rom.data(), 8), 0);
    EXPECT_EQ(rom[1], 0x11);

    const struct {
        const char* text;
        uint16_t crc;
    } images[] = {{"abc", 0}, {"abcd", 0x40D7}, {"abcde", 0x40D7}, {"abcdefgh", 0xD1FD}};
    for (const auto& i : images)
        EXPECT_EQ(ImageCrc(reinterpret_cast<const uint8_t*>(i.text), std::strlen(i.text)), i.crc)
            << i.text;

    const struct {
        int type;
        uint8_t value, range;
        double hz;
    } clocks[] = {{0, 128, 7, 100e3}, {0, 64, 6, 300e3},    {0, 130, 1, 6300e3},
                  {0, 6, 0, 25000e3}, {0, 6, 8, 25000e3},   {1, 81, 14, 1000.9765625},
                  {2, 255, 9, 100e3}, {3, 199, 0, 40000e3}, {1, 255, 15, 400e3}};
    for (const auto& c : clocks)
        EXPECT_DOUBLE_EQ(ClockHz(c.type, c.value, c.range), c.hz) << c.type << " " << +c.value;
}

// Drives register 2 the way the pod link does, bit by bit, from the pod's documented frames.
class PodLinkDriver {
  public:
    PodLinkDriver(Controller& c, unsigned tap) : c_(c), base_(static_cast<uint8_t>(tap * 64 + 9)) {}
    void Begin() {
        v_ = base_;
        Write();
    }
    void Bit(bool b) {
        v_ = static_cast<uint8_t>((v_ & ~0x30) | (b ? 0x10 : 0));
        Write();
        v_ |= 0x20;
        Write();
    }
    void Bits(const char* bits) {
        for (; *bits; ++bits)
            Bit(*bits == '1');
    }
    bool Sample() {
        uint32_t r = 0;
        c_.ReadRegister(kPodRegister, &r);
        return (r & 1) != 0;
    }
    void End() { c_.WriteRegister(kPodRegister, 0x01); }

  private:
    void Write() { c_.WriteRegister(kPodRegister, v_); }
    Controller& c_;
    uint8_t base_;
    uint8_t v_ = 0;
};

// Sends the pin-exchange frame that drives nothing new and returns the ten bits the TAP held.
uint32_t ExchangeRead(Controller& c, unsigned tap) {
    PodLinkDriver link(c, tap);
    link.Begin();
    link.Bits("01001");
    uint32_t word = 0;
    for (int k = 0; k < 10; ++k) {
        const bool b = link.Sample();
        word |= (b ? 1u : 0u) << k;
        link.Bit(b);
    }
    link.End();
    return word;
}

TEST(PodLinkTest, FramesReachTheTapsAndComeBack) {
    ControllerConfig config;
    config.type = 1;
    config.taps[1].identity = 1;
    config.taps[3].present = false;
    Controller c(config);

    // Unpowered, the pod does not answer: every bit reads 1.
    EXPECT_EQ(ExchangeRead(c, 0), 0x3FFu);
    c.WriteRegister(kPowerRegister, 1);
    c.WriteRegister(kPowerRegister, 3);

    // Write pins: header, inverted data nibble and control nibble, pin 0 first.
    PodLinkDriver link(c, 2);
    link.Begin();
    link.Bits(
        "010000"
        "1010"
        "0110");  // data 1010 (inverted, pin 0 first), control 0110
    link.End();
    EXPECT_EQ(c.Tap(2).data, 0xA);
    EXPECT_EQ(c.Tap(2).control, 0x6);

    struct Expect {
        unsigned tap;
        uint32_t word;  // identity high bit first, inverted data, control
    } const expected[] = {{0, 0x03C}, {1, 0x03E}, {2, (0x6u << 6) | (0x5u << 2)}, {3, 0x3FF}};
    for (const Expect& e : expected)
        EXPECT_EQ(ExchangeRead(c, e.tap), e.word) << e.tap;

    // Output DAC code 675 (3300 mV), then the read-back of the output voltage.
    link.Begin();
    link.Bits(
        "0011001"
        "1010100011"
        "00");
    link.End();
    link.Begin();
    link.Bits("10011011111");
    uint32_t adc = 0;
    for (int i = 0; i < 8; ++i) {
        link.Bit(true);
        adc = (adc << 1) | (link.Sample() ? 1 : 0);
    }
    link.End();
    EXPECT_EQ(c.Tap(2).outputCode, 675);
    EXPECT_EQ(adc, PodModel::AdcByte(3300));
    EXPECT_EQ(adc, 205u);

    // A frame the pod does not know is ignored and the next one decodes as usual.
    const uint64_t ignored = c.PodFramesIgnored();
    link.Begin();
    link.Bits("1000101");
    link.End();
    EXPECT_EQ(c.PodFramesIgnored(), ignored + 1);
    link.Begin();
    link.Bits(
        "010000"
        "1111"
        "0000");
    link.End();
    EXPECT_EQ(c.Tap(2).data, 0x0);
}

// What a VCD file holds, as far as the checks below need it.
struct VcdSummary {
    std::vector<std::string> sections;  // header keywords up to $enddefinitions
    std::set<std::string> ids;          // declared identifiers
    int changes = 0;
    int clockRises = 0;
    bool timesIncrease = true;
    bool idsDeclared = true;  // every value change names a declared identifier
};

VcdSummary ParseVcd(const std::string& path) {
    VcdSummary v;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line) && line != "$enddefinitions $end") {
        std::istringstream words(line);
        std::string keyword, type, width, id;
        words >> keyword;
        v.sections.push_back(keyword);
        if (keyword == "$var") {
            words >> type >> width >> id;
            v.ids.insert(id);
        }
    }
    long long last = -1;
    while (std::getline(in, line)) {
        if (line.empty() || line == "$dumpvars" || line == "$end") continue;
        if (line[0] == '#') {
            const long long t = std::stoll(line.substr(1));
            v.timesIncrease = v.timesIncrease && t > last;
            last = t;
            continue;
        }
        const std::string id = line[0] == 'b' ? line.substr(line.find(' ') + 1) : line.substr(1);
        v.idsDeclared = v.idsDeclared && v.ids.count(id) == 1;
        ++v.changes;
        if (line == "1!") ++v.clockRises;
    }
    return v;
}

const std::vector<std::string> kVcdHeader = {"$date", "$version", "$timescale", "$scope",
                                             "$var",  "$var",     "$var",       "$var",
                                             "$var",  "$upscope"};

TEST(VcdTest, PodLinkWaveformIsWellFormed) {
    const std::string path = ::testing::TempDir() + "pod_link_test.vcd";
    {
        Controller c(ControllerConfig{});
        c.WriteRegister(kPowerRegister, 1);
        c.WriteRegister(kPowerRegister, 3);
        ASSERT_TRUE(c.StartVcd(path));
        ExchangeRead(c, 1);
        c.StopVcd();
    }
    const VcdSummary v = ParseVcd(path);
    EXPECT_EQ(v.sections, kVcdHeader);
    EXPECT_EQ(v.ids.size(), 5u);
    EXPECT_TRUE(v.timesIncrease);
    EXPECT_TRUE(v.idsDeclared);
    // Header (5 bits) and ten exchanged bits: one rising clock edge each.
    EXPECT_EQ(v.clockRises, 15);
    EXPECT_GT(v.changes, 30);
    std::remove(path.c_str());
}

// The waveform that `zpxctl demo --vcd` left behind (ctest runs the demo first and names the
// file in ZPX_DEMO_VCD); skipped when run on its own.
TEST(VcdTest, DemoWaveformIsWellFormed) {
    const char* path = std::getenv("ZPX_DEMO_VCD");
    if (path == nullptr) GTEST_SKIP() << "ZPX_DEMO_VCD not set";
    const VcdSummary v = ParseVcd(path);
    EXPECT_EQ(v.sections, kVcdHeader);
    EXPECT_EQ(v.ids.size(), 5u);
    EXPECT_TRUE(v.timesIncrease);
    EXPECT_TRUE(v.idsDeclared);
    // The demo reads the pod's serial ROM: eight register-2 writes with a rising clock edge in
    // every second one (three rising edges).
    EXPECT_GE(v.clockRises, 3);
}

}  // namespace
}  // namespace zpx::emu
