#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fake_memory_controller.h"
#include "session/session.h"
#include "session/settle.h"

namespace zpx::testing {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

TEST(MemoryTransfer, DriverRoundTripsPiecesAndStagingBuffer) {
    for (const Target& t : kDriverTargets) {
        SCOPED_TRACE(t.label);
        ScopedFakePlatform fake;
        Opened o = OpenTarget(*fake, t);
        ASSERT_NE(o.handle, nullptr);
        // Each memory lands where the caller's number says, whatever the wire numbering.
        for (uint32_t m = 0; m < 6; ++m) {
            const auto bytes = Pattern(101 + m, m);
            ASSERT_EQ(ZPX_WriteMemory(o.handle, 0, m, 0x40, 101 + m, bytes.data()), 0u);
            ASSERT_EQ(o.mem->memory[m].size(), 0x40 + bytes.size()) << m;
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), o.mem->memory[m].begin() + 0x40));
        }
        // Odd-sized, over several pieces, in two calls where the second goes on from the counter.
        const uint32_t n = 2 * t.chunk + 777, half = t.chunk / 2 + 3;
        const auto bytes = Pattern(n, 99);
        o.mem->pieceLengths.clear();
        ASSERT_EQ(ZPX_WriteCtrlMemory(o.handle, 2, 0, half, bytes.data()), 0u);
        ASSERT_EQ(ZPX_WriteMemoryEx(o.handle, 0, 2, n - half, bytes.data() + half), 0u);
        // Pieces of at most chunkSize; USB of the 51x4 family rounds write data up to 4 bytes.
        std::vector<uint32_t> lengths;
        for (uint32_t call : {half, n - half}) {
            for (uint32_t left = call; left > 0; left -= std::min(left, t.chunk)) {
                const uint32_t count = std::min(left, t.chunk);
                lengths.push_back((t.chunk == 131072 ? (count + 3) & ~3u : count) + 16);
            }
        }
        EXPECT_EQ(o.mem->pieceLengths, lengths);
        ControllerSession& s = SessionOf(o.handle);
        const uint8_t* staged = s.transferBuffer.data.get();
        EXPECT_EQ(s.transferBuffer.capacity, t.chunk + 16);
        std::vector<uint8_t> back(n);
        ASSERT_EQ(ZPX_ReadCtrlMemory(o.handle, 2, 0, 5, back.data()), 0u);
        ASSERT_EQ(ZPX_ReadCtrlMemoryNa(o.handle, 2, n - 5, back.data() + 5), 0u);
        EXPECT_EQ(back, bytes);
        EXPECT_EQ(s.transferBuffer.data.get(), staged);
        EXPECT_EQ(o.mem->pieceLengths.back(), n - 5 - 2 * t.chunk + 16);  // reads never round
        ZPX_CloseController(o.handle);
    }
}

TEST(MemoryTransfer, EthernetHeadersPiecesAndShortReads) {
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kEthernet);
    ASSERT_NE(o.handle, nullptr);
    FakeTcpState& tcp = *o.tcp;
    const auto bytes = Pattern(20000, 7);
    // A write: one header with the whole length, then 512-byte pieces, all but the last marked
    // more-to-come. An empty write still announces itself; an empty read sends nothing.
    ASSERT_EQ(ZPX_WriteCtrlMemoryNa(o.handle, 1, 1300, bytes.data()), 0u);
    ASSERT_EQ(ZPX_WriteMemoryEx(o.handle, 0, 9, 0, nullptr), 0u);
    ASSERT_EQ(ZPX_ReadMemoryEx(o.handle, 0, 5, 0, nullptr), 0u);
    const std::vector<uint8_t> header = {0x20, 0, 0x14, 0, 0x14, 0x05, 0, 0,
                                         0,    0, 0,    0, 0,    0,    0, 0};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), tcp.sent.begin()));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 1300, tcp.sent.begin() + 16));
    EXPECT_EQ(tcp.sendSizes, (std::vector<size_t>{16, 512, 512, 276, 16}));
    EXPECT_EQ(tcp.sendMore, (std::vector<bool>{true, true, true, false, false}));
    EXPECT_EQ(Le32(tcp.sent.data() + 1316), 0x20u);  // a memory above 5 has select code 0
    EXPECT_EQ(Le32(tcp.sent.data() + 1320), 0u);

    // A read asks for at most 8192 bytes a header; a piece cut short by the waits is continued
    // from the new total. Memory 5 is read one address ahead by the controller-numbered form.
    tcp = FakeTcpState{};
    const std::vector<uint8_t> none;
    tcp.script = {{TcpEvent::kData, {bytes.begin(), bytes.begin() + 8092}},
                  {TcpEvent::kTimeout, none},
                  {TcpEvent::kTimeout, none},
                  {TcpEvent::kTimeout, none},
                  {TcpEvent::kTimeout, none},
                  {TcpEvent::kData, {bytes.begin() + 8092, bytes.end()}}};
    std::vector<uint8_t> back(20000);
    ASSERT_EQ(ZPX_ReadCtrlMemory(o.handle, 5, 0x100, 20000, back.data()), 0u);
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(Le32(tcp.sent.data()), 0x04300008u);  // counter 3 ...
    EXPECT_EQ(Le32(tcp.sent.data() + 4), 0x0802u);  // ... loaded with 0x101 in 6-bit groups
    ASSERT_EQ(tcp.sent.size(), 12u + 3 * 16);
    const uint32_t asked[] = {8192, 8192, 3716};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Le32(tcp.sent.data() + 12 + 16 * i), 0x002C0010u);
        EXPECT_EQ(Le32(tcp.sent.data() + 16 + 16 * i), asked[i]);
    }
    tcp.sent.clear();
    ASSERT_EQ(ZPX_ReadMemory(o.handle, 0, 5, 0x100, 0, nullptr), 0u);
    EXPECT_EQ(Le32(tcp.sent.data() + 4), 0x0800u);

    // A connection closed in the middle of a read, or a failed send: 10.
    tcp.script.push_back({TcpEvent::kClose, none});
    EXPECT_EQ(ZPX_ReadCtrlMemoryNa(o.handle, 0, 10, back.data()), 10u);
    tcp.failSends = true;
    EXPECT_EQ(ZPX_WriteCtrlMemoryNa(o.handle, 0, 10, back.data()), 10u);
    ZPX_CloseController(o.handle);
}

TEST(MemoryTransfer, BadInputFailedPiecesAndTheStoppedSettle) {
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kPci);
    ASSERT_NE(o.handle, nullptr);
    const ZPX_Handle h = o.handle;
    uint8_t b[8] = {};
    // Refused before anything is sent: a memory above 5 in the addressed forms, a missing buffer.
    for (uint32_t rc :
         {ZPX_WriteCtrlMemory(h, 6, 0, 8, b), ZPX_ReadCtrlMemory(h, 6, 0, 8, b),
          ZPX_WriteMemory(h, 0, 9, 0, 8, b), ZPX_ReadMemory(h, 0, ~0u, 0, 8, b),
          ZPX_WriteCtrlMemory(h, 0, 0, 8, nullptr), ZPX_WriteCtrlMemoryNa(h, 0, 8, nullptr),
          ZPX_ReadCtrlMemory(h, 0, 0, 8, nullptr), ZPX_ReadCtrlMemoryNa(h, 0, 8, nullptr),
          ZPX_WriteMemory(h, 0, 0, 0, 1, nullptr), ZPX_ReadMemory(h, 0, 0, 0, 1, nullptr),
          ZPX_WriteMemoryEx(h, 0, 0, 1, nullptr), ZPX_ReadMemoryEx(h, 0, 0, 1, nullptr)})
        EXPECT_EQ(rc, 10u);
    EXPECT_TRUE(o.device->calls.empty());
    EXPECT_EQ(ZPX_WriteCtrlMemoryNa(h, 3, 0, nullptr), 0u);
    EXPECT_TRUE(o.device->calls.empty());

    // A refused piece is 10; the pieces before it stay, none after it is sent.
    const auto bytes = Pattern(3 * 4096, 3);
    o.mem->failPieceAt = 1;
    EXPECT_EQ(ZPX_WriteCtrlMemory(h, 0, 0, 3 * 4096, bytes.data()), 10u);
    EXPECT_EQ(o.mem->pieceLengths.size(), 2u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 4096, o.mem->memory[0].begin()));
    // The unaddressed forms pass a larger memory number on as the select.
    EXPECT_EQ(ZPX_WriteCtrlMemoryNa(h, 7, 4, bytes.data()), 10u);
    EXPECT_EQ(Le32(o.device->calls.back().in.data()), 7u);

    // Results wait for the stopped-controller settle before they are read.
    ASSERT_EQ(ArmSettle(SessionOf(h), 16, kSettleStopped), kOk);
    fake->alarmCalls.clear();
    EXPECT_EQ(ZPX_ReadCtrlMemoryNa(h, 0, 4, b), 0u);
    ASSERT_FALSE(fake->alarmCalls.empty());
    EXPECT_EQ(fake->alarmCalls[0].op, "wait");
    ZPX_CloseController(h);
}

}  // namespace
}  // namespace zpx::testing
