// Register access per back-end: the driver request and reply byte of each register, the word
// register and the clock registers on each bus, the Ethernet packets, and how a receive waits,
// assembles and gives up.
#include <gtest/gtest.h>

#include <string>

#include "device/access.h"
#include "driver_fixture.h"
#include "transport/lan_link.h"

namespace zpx::testing {
namespace {

TEST(DriverRegisters, EachBusCarriesTheRegistersUnderItsOwnNumbers) {
    // The ISA board has no pod power register (0x0B), and its word register starts at driver
    // register 3. FireWire reads four registers at once: 0 to 3 from 0, 4 to 7 from 4, 8 to 11
    // from 8; writes go to single registers.
    const Target isa1{"ISA", "ISA1,5120", "\\\\.\\isa5120_1", 0, 4096};
    // Bus, the word register as registers 0xA0 + n make it up, a clock, and the log of the byte
    // reads, the run mode, the word and the clock.
    const char* pciOrUsb =
        "r0=a0 r1=a1 r2=a2 r3=a3 rb=ab w0=c r4=a4 r5=a5 w4=ef w5=be w6=9f w7=5 alloc1=2 set1=250 "
        "reset1 r7=5 r6=9f ";
    const std::tuple<Target, uint32_t, int32_t, const char*> buses[] = {
        {isa1, 0xA4A3, 6300,
         "r0=a0 r1=a1 r2=a2 r3=a3 w0=c r3=a3 r4=a4 w3=ef w4=be w1e=82 w1f=1 alloc1=2 set1=250 "
         "reset1 r1f=1 r1e=82 "},
        {kPci, 0xA5A4, 1000, pciOrUsb},
        {kUsb, 0xA5A4, 1000, pciOrUsb},
        {kFireWire, 0xA7A6, 16400,
         "r0=a0 r0=a0 r0=a0 r0=a0 r8=a8 w0=c r4=a4 w4=ef w5=be w6=a3 w7=1 alloc1=2 set1=250 reset1 "
         "r4=ef r4=ef "},
    };
    for (const auto& [target, wordValue, clockKhz, log] : buses) {
        SCOPED_TRACE(target.label);
        const std::string label = target.label;
        const bool isa = label == "ISA", fireWire = label == "FireWire";
        Opened o(target);
        for (uint32_t r = 0; r < 12; ++r)
            o.file->regs[r] = static_cast<uint8_t>(0xA0 + r);
        o.file->selected[0] = {0xA3};
        for (uint32_t reg : {0u, 1u, 2u, 3u, 0x0Bu}) {
            uint32_t value = 0x777;
            const bool refused = isa && reg == 0x0B;
            EXPECT_EQ(device::ReadRegister(o.s(), reg, &value).ok(), !refused) << reg;
            EXPECT_EQ(value, refused ? 0x777u : 0xA0 + reg) << reg;
        }
        EXPECT_EQ(ZPX_SetRunMode(o.handle, 0x0C), ZPX_STATUS_OK);
        EXPECT_EQ(o.Get(ZPX_GetContModeCounter), wordValue);
        EXPECT_EQ(ZPX_SetContModeCounter(o.handle, 0x1BEEF), ZPX_STATUS_OK);
        EXPECT_EQ(ZPX_SetCtrlFrequency(o.handle, 0, clockKhz), ZPX_STATUS_OK);
        EXPECT_EQ(o.Get(ZPX_GetCurrentFrequency), static_cast<uint32_t>(clockKhz));
        EXPECT_EQ(o.fake->Take(), log);
        for (const DriverCall& call : o.device->calls)
            EXPECT_EQ(call.outLength, 8u);

        // The last read of the word fails: the low byte is already stored on the byte-wide
        // buses. A failed low byte sends no high byte.
        o.file->regs = {{3, 0x11}, {4, 0x22}};
        o.file->selected = {{o.file->select, {0x11}}};  // the ISA word's low byte
        o.file->failAfter = o.file->served + (fireWire ? 0 : 1);
        uint32_t word = 0xDEAD;
        EXPECT_EQ(ZPX_GetContModeCounter(o.handle, &word), ZPX_STATUS_INVALID);
        EXPECT_EQ(word, fireWire ? 0xDEADu : (isa ? 0x11u : 0x22u));
        o.file->failAfter = o.file->served;
        o.fake->Take();
        EXPECT_EQ(ZPX_SetContModeCounter(o.handle, 0xBEEF), ZPX_STATUS_INVALID);
        EXPECT_EQ(o.fake->Take(), "fail ");
    }
}

TEST(LanRegisters, PacketsCarryCommandWordsAndWritesReadNothing) {
    Opened o(kEthernet);
    FakeTcpState& tcp = *o.tcp;
    tcp.script.assign(2, {TcpEvent::kData, std::vector<uint8_t>(12, 0xFF)});
    tcp.script[0].data[4] = 0xC1;  // a byte register: byte 4 of the reply only
    tcp.script[1].data[4] = 0x34;  // the word register: the low half of data0
    tcp.script[1].data[5] = 0x12;
    EXPECT_EQ(o.Get(ZPX_GetError), 0xC1u);
    EXPECT_EQ(o.Get(ZPX_GetContModeCounter), 0x1234u);
    EXPECT_EQ(tcp.lastWaitMs, 5000u);
    const int waits = tcp.waits;
    EXPECT_EQ(ZPX_SetRunMode(o.handle, 0x0C), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_SetContModeCounter(o.handle, 0x12345678), ZPX_STATUS_OK);
    EXPECT_EQ(ZPX_SetTapEnable(o.handle, 0xF0), ZPX_STATUS_OK);
    EXPECT_EQ(tcp.waits, waits);  // no reply awaited
    EXPECT_EQ(Packets(tcp), (std::vector<Request>{{0x01010001, 0, 0},
                                                  {0x02040001, 0, 0},
                                                  {0x01000002, 0x0C, 0},
                                                  {0x02040002, 0x12345678, 0},
                                                  {0x01020002, 0xF0, 0}}));
    EXPECT_EQ(tcp.sends, (std::vector<std::pair<size_t, bool>>(5, {12, false})));
}

TEST(LanLink, ExchangeAssemblesPiecesAndGivesUpAfterFourEmptyWaits) {
    std::vector<uint8_t> reply(12);
    for (size_t i = 0; i < 12; ++i)
        reply[i] = static_cast<uint8_t>(0x50 + i);
    auto piece = [&](size_t from, size_t to) {
        return TcpEvent{TcpEvent::kData, {reply.begin() + from, reply.begin() + to}};
    };
    const TcpEvent timeout{TcpEvent::kTimeout, {}};
    // What arrives, success, bytes of the reply that land in the packet, waits, and the pauses
    // after waits that saw nothing.
    const std::tuple<const char*, std::vector<TcpEvent>, bool, size_t, int, const char*> cases[] = {
        {"whole", {piece(0, 12)}, true, 12, 1, ""},
        {"two pieces", {piece(0, 5), timeout, piece(5, 12)}, true, 12, 3, "s25 "},
        {"8 bytes then silence", {piece(0, 8)}, true, 8, 5, "s25 s25 s25 s25 "},
        {"silence", {}, false, 0, 4, "s25 s25 s25 s25 "},
        {"closed", {{TcpEvent::kClose, {}}}, false, 0, 1, ""},
        {"error", {{TcpEvent::kError, {}}}, false, 0, 1, ""},
        {"4 bytes then closed", {piece(0, 4), {TcpEvent::kClose, {}}}, false, 4, 2, ""},
    };
    for (const auto& [what, script, ok, replyBytes, waits, pauses] : cases) {
        SCOPED_TRACE(what);
        ScopedFakePlatform fake;
        auto tcp = std::make_shared<FakeTcpState>();
        tcp->script.assign(script.begin(), script.end());
        transport::LanLink link(std::make_unique<FakeTcpConnection>(tcp));
        auto packet = transport::LanPacket::FromCommand(0x01010001, 0, 0xDEADBEEF);
        const auto request = packet;
        EXPECT_EQ(link.Exchange(packet).ok(), ok);
        EXPECT_EQ(tcp->sent, std::vector<uint8_t>(request.bytes, request.bytes + 12));
        EXPECT_EQ(tcp->waits, waits);
        EXPECT_EQ(fake->Take(), pauses);
        for (size_t i = 0; i < 12; ++i)
            EXPECT_EQ(packet.bytes[i], i < replyBytes ? reply[i] : request.bytes[i]) << i;
    }
}

// A reply the link gave up on must not shift the later answers, and must not cost them either.
// One that never comes is forgotten: the next read gets its own reply at once. One that comes
// late, whole or cut short, and is waiting when the next request is about to go, is dropped
// then, not read as that request's answer. Only a link that gave up looks for such bytes. A
// send that fails leaves the stream out of step for good: later calls fail at once and send
// nothing. Sends are limited in time as long as a reply may take.
TEST(LanLink, RepliesGivenUpOnShiftNothingAndAFailedSendEndsTheLink) {
    auto reply = [](uint32_t value) { return WordBytes({0x01010001, value, 0}); };
    const auto late = reply(0x4B);
    using Events = std::vector<TcpEvent>;
    const Events silence(4, {TcpEvent::kTimeout, {}});
    // The bytes `from` to `to` of the late reply.
    auto part = [&](TcpEvent::Kind kind, size_t from, size_t to) {
        return TcpEvent{kind, {late.begin() + from, late.begin() + to}};
    };
    auto cut = [&](size_t bytes) {
        Events events = {part(TcpEvent::kData, 0, bytes)};
        events.insert(events.end(), silence.begin(), silence.end());
        return events;
    };
    const TcpEvent::Kind stale = TcpEvent::kStale;
    // What the first read meets, its status, and what arrives after it gave up.
    const std::tuple<const char*, Events, uint32_t, Events> cases[] = {
        {"never comes", silence, 10, {}},
        {"comes late, whole", silence, 10, {part(stale, 0, 12)}},
        {"cut short, the tail late", cut(6), 0, {part(stale, 6, 12)}},
        {"cut short, the tail in two", cut(3), 0, {part(stale, 3, 7), part(stale, 7, 12)}},
    };
    for (const auto& [what, first, status, afterwards] : cases) {
        SCOPED_TRACE(what);
        Opened o(kEthernet);
        EXPECT_EQ(o.fake->sendLimitMs, 4u * (5000 + 25));
        FakeTcpState& tcp = *o.tcp;
        tcp.script.assign(first.begin(), first.end());
        tcp.script.insert(tcp.script.end(), afterwards.begin(), afterwards.end());
        for (uint32_t value : {0x11u, 0x22u})
            tcp.script.push_back({TcpEvent::kData, reply(value)});
        uint32_t error = 0;
        EXPECT_EQ(ZPX_GetError(o.handle, &error), status);
        EXPECT_EQ(tcp.discards, 0);
        tcp.waits = 0;
        for (uint32_t value : {0x11u, 0x22u})
            EXPECT_EQ(o.Get(ZPX_GetError), value);
        EXPECT_TRUE(tcp.script.empty());
        EXPECT_EQ(tcp.waits, 2) << "a later read waited for bytes that were not its own";
        EXPECT_EQ(tcp.discards, 1) << "only the request after the one given up looks";
        EXPECT_EQ(tcp.sent.size(), 3u * 12);
    }

    Opened o(kEthernet);
    FakeTcpState& tcp = *o.tcp;
    tcp.failSends = true;
    EXPECT_EQ(ZPX_SetRunMode(o.handle, 0x04), ZPX_STATUS_INVALID);
    tcp.failSends = false;
    tcp.sent.clear();
    tcp.script.push_back({TcpEvent::kData, reply(0x44)});
    uint32_t error = 0;
    EXPECT_EQ(ZPX_GetError(o.handle, &error), ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_SetRunMode(o.handle, 0x04), ZPX_STATUS_INVALID);
    EXPECT_TRUE(tcp.sent.empty());
}

}  // namespace
}  // namespace zpx::testing
