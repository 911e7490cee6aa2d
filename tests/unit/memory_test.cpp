// Memories and their address counters: the driver requests of older and current drivers, the
// Ethernet packets with their packed address groups, where each memory lands, the pieces each
// back-end sends it in, and what a bad argument or a failed piece leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "driver_fixture.h"

namespace zpx::testing {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes(n);
    std::generate(bytes.begin(), bytes.end(), std::mt19937(seed));
    return bytes;
}

TEST(Counters, OlderAndCurrentDriversGetTheirOwnRequests) {
    const uint32_t v = 0x11223344;
    const auto legacy = [&](uint32_t n) { return DriverCall{0x9C406400, WordBytes({n, v}), 0}; };
    const auto current = [&](uint32_t n) { return DriverCall{0x9C406430, WordBytes({n, v}), 8}; };
    const auto read = [](uint32_t n) { return DriverCall{0x9C406434, WordBytes({n, 0}), 8}; };
    const DriverCall immediate{0x9C40640C, WordBytes({v}), 0},
        readImmediate{0x9C406410, WordBytes({0}), 4};
    // Writes of counters 0 to 4 and 77, then reads of counters 0, 1 and 9. Older drivers number
    // the address counters with 1 and 2 exchanged, have a request of their own for the
    // immediate address counter (4) and read back only that one (as 0).
    const std::tuple<Target, std::vector<DriverCall>, std::vector<uint32_t>> paths[] = {
        {kPciLegacy,
         {legacy(0), legacy(2), legacy(1), legacy(3), immediate, legacy(0), readImmediate},
         {v, 0, 0}},
        {kPci,
         {current(0), current(1), current(2), current(3), current(4), current(77), read(0), read(1),
          read(9)},
         {v, v, 0x1009}},
    };
    for (const auto& [target, requests, values] : paths) {
        SCOPED_TRACE(target.label);
        Opened o(target);
        o.file->counters[9] = 0x1009;
        for (uint32_t counter : {0u, 1u, 2u, 3u, 4u, 77u})
            EXPECT_EQ(ZPX_WriteCtrlCounter(o.handle, counter, v), ZPX_STATUS_OK);
        std::vector<uint32_t> got(3, 0xDEAD);
        for (uint32_t i = 0, counter[] = {0, 1, 9}; i < 3; ++i)
            EXPECT_EQ(ZPX_ReadCounter(o.handle, 123, counter[i], &got[i]), ZPX_STATUS_OK);
        EXPECT_EQ(o.device->calls, requests);
        EXPECT_EQ(got, values);
        o.file->failAfter = o.file->served;
        EXPECT_EQ(ZPX_WriteCounter(o.handle, 0, 1, v), ZPX_STATUS_INVALID);
        EXPECT_EQ(ZPX_ReadCtrlCounter(o.handle, 0, &got[0]), ZPX_STATUS_INVALID);
        EXPECT_EQ(got[0], 0u);
        EXPECT_EQ(ZPX_ReadCtrlCounter(o.handle, 0, nullptr), ZPX_STATUS_INVALID);
    }
}

TEST(MemoryTransfer, DriverRoundTripsInPiecesOfTheChunkSize) {
    for (const Target& t : kDriverTargets) {
        SCOPED_TRACE(t.label);
        Opened o(t);
        // Each memory lands where the caller's number says, whatever the wire numbering.
        for (uint32_t m = 0; m < 6; ++m) {
            const auto bytes = Pattern(101 + m, m);
            ASSERT_EQ(ZPX_WriteMemory(o.handle, 0, m, 0x40, 101 + m, bytes.data()), ZPX_STATUS_OK);
            ASSERT_EQ(o.file->memory[m].size(), 0x40 + bytes.size()) << m;
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), o.file->memory[m].begin() + 0x40));
        }
        // Odd-sized, over several pieces, in two calls where the second goes on from the counter.
        const uint32_t n = 2 * t.chunk + 777, half = t.chunk / 2 + 3;
        const auto bytes = Pattern(n, 99);
        o.file->pieceLengths.clear();
        ASSERT_EQ(ZPX_WriteCtrlMemory(o.handle, 2, 0, half, bytes.data()), ZPX_STATUS_OK);
        ASSERT_EQ(ZPX_WriteMemoryEx(o.handle, 0, 2, n - half, bytes.data() + half), ZPX_STATUS_OK);
        // Pieces of at most chunkSize; USB of the 51x4 family rounds write data up to 4 bytes.
        std::vector<uint32_t> lengths;
        for (uint32_t call : {half, n - half}) {
            for (uint32_t left = call; left > 0; left -= std::min(left, t.chunk)) {
                const uint32_t count = std::min(left, t.chunk);
                lengths.push_back((t.chunk == 131072 ? (count + 3) & ~3u : count) + 16);
            }
        }
        EXPECT_EQ(o.file->pieceLengths, lengths);
        std::vector<uint8_t> back(n);
        ASSERT_EQ(ZPX_ReadCtrlMemory(o.handle, 2, 0, 5, back.data()), ZPX_STATUS_OK);
        ASSERT_EQ(ZPX_ReadCtrlMemoryNa(o.handle, 2, n - 5, back.data() + 5), ZPX_STATUS_OK);
        EXPECT_EQ(back, bytes);
        EXPECT_EQ(o.file->pieceLengths.back(), n - 5 - 2 * t.chunk + 16);  // reads never round
    }
}

TEST(MemoryTransfer, EthernetCountersInPackedGroupsMemoryInHeadersAndPieces) {
    Opened o(kEthernet);
    FakeTcpState& tcp = *o.tcp;
    // Counters 0 to 6; 6 is unknown to the protocol and costs twelve zero bytes.
    const uint32_t values[] = {0x123456, 0x000001, 0xFFFFFF, 0x123456, 0xAB123456, 0xFFFFFFFF, 7};
    for (uint32_t counter = 0; counter < 7; ++counter)
        EXPECT_EQ(ZPX_WriteCtrlCounter(o.handle, counter, values[counter]), ZPX_STATUS_OK);
    EXPECT_EQ(Packets(tcp), (std::vector<Request>{{0x04100008, 0x0846222C, 0},
                                                  {0x04180008, 0x00000002, 0},
                                                  {0x04200008, 0x7E7E7E7E, 0},
                                                  {0x04300008, 0x0846222C, 0},
                                                  {0x03080008, 0x00123456, 0},
                                                  {0x06340008, 0x7E7E7E7E, 0x0000067E},
                                                  {0, 0, 0}}));
    EXPECT_EQ(tcp.waits, 0);  // no reply awaited
    // Counter, command, value read from a reply whose data0 is 0xAB123456.
    const uint32_t reads[][3] = {{0, 0x03080004, 0x123456},
                                 {1, 0x03300004, 0x123456},
                                 {2, 0x04340004, 0xAB123456},
                                 {3, 0, 0}};
    for (const auto& r : reads) {
        tcp.sent.clear();
        tcp.script = {{TcpEvent::kData, WordBytes({r[1], 0xAB123456, 0})}};
        EXPECT_EQ(o.Get(ZPX_ReadCtrlCounter, r[0]), r[2]) << r[0];
        EXPECT_EQ(tcp.sent, r[1] ? WordBytes({r[1], 0, 0}) : std::vector<uint8_t>{});
    }

    tcp = FakeTcpState{};
    const auto bytes = Pattern(20000, 7);
    // A write: one header with the whole length, then 512-byte pieces, all but the last marked
    // more-to-come. An empty write still announces itself; an empty read sends nothing.
    ASSERT_EQ(ZPX_WriteCtrlMemoryNa(o.handle, 1, 1300, bytes.data()), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_WriteMemoryEx(o.handle, 0, 9, 0, nullptr), ZPX_STATUS_OK);
    ASSERT_EQ(ZPX_ReadMemoryEx(o.handle, 0, 5, 0, nullptr), ZPX_STATUS_OK);
    const std::vector<uint8_t> header = WordBytes({0x00140020, 0x0514, 0, 0});
    EXPECT_TRUE(std::equal(header.begin(), header.end(), tcp.sent.begin()));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 1300, tcp.sent.begin() + 16));
    EXPECT_EQ(tcp.sends, (std::vector<std::pair<size_t, bool>>{
                             {16, true}, {512, true}, {512, true}, {276, false}, {16, false}}));
    EXPECT_EQ(GetU32(tcp.sent.data() + 1316), 0x20u);  // a memory above 5 has select code 0
    EXPECT_EQ(GetU32(tcp.sent.data() + 1320), 0u);

    // A read asks for at most 8192 bytes a header; a piece cut short by the waits is continued
    // from the new total. The controller still sends the short piece's last 100 bytes, late,
    // before the next header goes: they are dropped, not taken as the start of the next piece.
    // Memory 5 is read one address ahead by the controller-numbered form.
    tcp = FakeTcpState{};
    const auto served = Pattern(20100, 9);  // what the controller sends, piece after piece
    tcp.script = {{TcpEvent::kData, {served.begin(), served.begin() + 8092}}};
    tcp.script.resize(5, {TcpEvent::kTimeout, {}});
    tcp.script.push_back({TcpEvent::kStale, {served.begin() + 8092, served.begin() + 8192}});
    tcp.script.push_back({TcpEvent::kData, {served.begin() + 8192, served.end()}});
    std::vector<uint8_t> back(20000);
    ASSERT_EQ(ZPX_ReadCtrlMemory(o.handle, 5, 0x100, 20000, back.data()), ZPX_STATUS_OK);
    std::vector<uint8_t> expectedBack(served.begin(), served.begin() + 8092);
    expectedBack.insert(expectedBack.end(), served.begin() + 8192, served.end());
    EXPECT_EQ(back, expectedBack);
    // Counter 3 loaded with 0x101 in 6-bit groups, then headers asking for the rest each.
    EXPECT_EQ(tcp.sent, WordBytes({0x04300008, 0x0802, 0,                           // counter 3
                                   0x002C0010, 8192, 0, 0, 0x002C0010, 8192, 0, 0,  // headers
                                   0x002C0010, 3716, 0, 0}));
    tcp.sent.clear();
    ASSERT_EQ(ZPX_ReadMemory(o.handle, 0, 5, 0x100, 0, nullptr), ZPX_STATUS_OK);
    EXPECT_EQ(GetU32(tcp.sent.data() + 4), 0x0800u);

    tcp.script.push_back({TcpEvent::kClose, {}});
    EXPECT_EQ(ZPX_ReadCtrlMemoryNa(o.handle, 0, 10, back.data()), ZPX_STATUS_INVALID);
    tcp.failSends = true;
    EXPECT_EQ(ZPX_WriteCtrlMemoryNa(o.handle, 0, 10, back.data()), ZPX_STATUS_INVALID);
}

TEST(MemoryTransfer, BadInputFailedPiecesAndTheStoppedSettle) {
    Opened o(kPci);
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
        EXPECT_EQ(rc, ZPX_STATUS_INVALID);
    EXPECT_EQ(ZPX_WriteCtrlMemoryNa(h, 3, 0, nullptr), ZPX_STATUS_OK);
    EXPECT_TRUE(o.device->calls.empty());

    const auto bytes = Pattern(3 * 4096, 3);
    o.file->failAfter = o.file->served + 2;  // the address and the first piece
    EXPECT_EQ(ZPX_WriteCtrlMemory(h, 0, 0, 3 * 4096, bytes.data()), ZPX_STATUS_INVALID);
    EXPECT_EQ(o.device->calls.size(), 3u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 4096, o.file->memory[0].begin()));
    // The unaddressed forms pass a larger memory number on as the select.
    o.file->failAfter = -1;
    EXPECT_EQ(ZPX_WriteCtrlMemoryNa(h, 7, 4, bytes.data()), ZPX_STATUS_INVALID);
    EXPECT_EQ(GetU32(o.device->calls.back().in.data()), 7u);

    // A transfer waits for the settle a status read arms when it finds the controller stopped.
    EXPECT_EQ(o.Get(ZPX_GetControllerStatus), 0u);
    o.fake->Take();
    EXPECT_EQ(ZPX_ReadCtrlMemoryNa(h, 0, 4, b), ZPX_STATUS_OK);
    EXPECT_EQ(o.fake->Take(), "wait1 free1 ");
}

}  // namespace
}  // namespace zpx::testing
