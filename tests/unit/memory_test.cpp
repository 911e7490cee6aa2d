#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "fake_memory_controller.h"
#include "session/session.h"
#include "session/settle.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

TEST(MemoryTransfer, WhatIsWrittenComesBackOnEveryBackEnd) {
    for (const Target& t : kAllTargets) {
        SCOPED_TRACE(t.label);
        ScopedFakePlatform fake;
        Opened o = OpenTarget(*fake, t);
        ASSERT_NE(o.handle, nullptr);
        // Each memory gets its own bytes at its own address; the controller must hold them
        // where the caller's memory number says, whatever the wire numbering.
        for (uint32_t m = 0; m < 6; ++m) {
            SCOPED_TRACE(m);
            const auto bytes = Pattern(1001 + m, m);
            const uint32_t address = 0x40 * (m + 1);
            ASSERT_EQ(ZPX_WriteMemory(o.handle, 0, m, address, 1001 + m, bytes.data()), 0u);
            ASSERT_GE(o.mem->memory[m].size(), address + bytes.size());
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), o.mem->memory[m].begin() + address));
            std::vector<uint8_t> back(bytes.size());
            ASSERT_EQ(ZPX_ReadMemory(o.handle, 0, m, address, 1001 + m, back.data()), 0u);
            EXPECT_EQ(back, bytes);
        }
        // A block over several pieces, odd-sized, written in two calls where the second goes on
        // from the counter, read back in one.
        const uint32_t n = 2 * t.chunk + 777;
        const auto bytes = Pattern(n, 99);
        const uint32_t half = t.chunk / 2 + 3;
        ASSERT_EQ(ZPX_WriteCtrlMemory(o.handle, 2, 0, half, bytes.data()), 0u);
        ASSERT_EQ(ZPX_WriteMemoryEx(o.handle, 0, 2, n - half, bytes.data() + half), 0u);
        std::vector<uint8_t> back(n);
        ASSERT_EQ(ZPX_ReadCtrlMemory(o.handle, 2, 0, 5, back.data()), 0u);
        ASSERT_EQ(ZPX_ReadCtrlMemoryNa(o.handle, 2, n - 5, back.data() + 5), 0u);
        EXPECT_EQ(back, bytes);
        EXPECT_EQ(o.mem->counters[2], n);
        ZPX_CloseController(o.handle);
    }
}

TEST(MemoryTransfer, DriverPiecesFollowChunkSizeAndRequestLength) {
    const struct {
        Target target;
        bool write;
        uint32_t length;
        std::vector<uint32_t> requestLengths;
    } cases[] = {
        {kPci, true, 4097, {4112, 17}},
        {kPci, true, 10, {26}},
        {kUsb, true, 10, {28}},
        {kUsb, true, 131073, {131088, 20}},
        {kUsb, false, 10, {26}},
        {kUsb5120, true, 10, {26}},
        {kFireWire, true, 16385, {16400, 17}},
        {kIsa, false, 8192, {4112, 4112}},
        {kPci, true, 0, {}},
        {kPci, false, 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.target.label) + (c.write ? " write " : " read ") +
                     std::to_string(c.length));
        ScopedFakePlatform fake;
        Opened o = OpenTarget(*fake, c.target);
        ASSERT_NE(o.handle, nullptr);
        std::vector<uint8_t> bytes = Pattern(c.length, 1);
        const uint32_t rc = c.write ? ZPX_WriteCtrlMemoryNa(o.handle, 1, c.length, bytes.data())
                                    : ZPX_ReadCtrlMemoryNa(o.handle, 1, c.length, bytes.data());
        EXPECT_EQ(rc, 0u);
        std::vector<uint32_t> lengths;
        uint32_t counted = 0;
        for (const auto& p : o.mem->pieces) {
            lengths.push_back(p.length);
            counted += p.count;
            EXPECT_EQ(p.code, c.write ? 0x9C406418u : 0x9C40641Cu);
        }
        EXPECT_EQ(lengths, c.requestLengths);
        EXPECT_EQ(counted, c.length);
        // Memory 1 travels as select 2.
        for (size_t i = o.openCalls; i < o.device->calls.size(); ++i)
            EXPECT_EQ(Le32(o.device->calls[i].in.data()), 2u);

        // The staging buffer is exactly one piece and its head, and stays the same buffer.
        ControllerSession& s = SessionOf(o.handle);
        if (c.length > 0) {
            EXPECT_EQ(s.transferBuffer.capacity, c.target.chunk + 16);
            const uint8_t* staged = s.transferBuffer.data.get();
            EXPECT_EQ(ZPX_WriteCtrlMemoryNa(o.handle, 0, c.length, bytes.data()), 0u);
            EXPECT_EQ(ZPX_ReadCtrlMemoryNa(o.handle, 0, c.length, bytes.data()), 0u);
            EXPECT_EQ(s.transferBuffer.data.get(), staged);
        }
        ZPX_CloseController(o.handle);
    }
}

TEST(MemoryTransfer, EthernetWireForm) {
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kEthernet);
    ASSERT_NE(o.handle, nullptr);
    FakeTcpState& tcp = *fake->nextConnection;

    // A write: one header with the whole length, then 512-byte pieces; every piece but the
    // last tells the kernel that more follows.
    auto bytes = Pattern(1300, 7);
    tcp.sent.clear();
    tcp.sendSizes.clear();
    tcp.sendMore.clear();
    ASSERT_EQ(ZPX_WriteCtrlMemoryNa(o.handle, 1, 1300, bytes.data()), 0u);
    const std::vector<uint8_t> header = {0x20, 0, 0x14, 0, 0x14, 0x05, 0, 0,
                                         0,    0, 0,    0, 0,    0,    0, 0};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), tcp.sent.begin()));
    EXPECT_EQ(tcp.sendSizes, (std::vector<size_t>{16, 512, 512, 276}));
    EXPECT_EQ(tcp.sendMore, (std::vector<bool>{true, true, true, false}));

    // An empty write still announces itself; an empty read sends nothing.
    tcp.sendSizes.clear();
    EXPECT_EQ(ZPX_WriteMemoryEx(o.handle, 0, 5, 0, nullptr), 0u);
    EXPECT_EQ(ZPX_ReadMemoryEx(o.handle, 0, 5, 0, nullptr), 0u);
    EXPECT_EQ(tcp.sendSizes, (std::vector<size_t>{16}));
    EXPECT_EQ(tcp.sent[tcp.sent.size() - 14], 0x2C);

    // Reads ask for at most 8192 bytes a header; a short piece is continued from the new total.
    bytes = Pattern(20000, 8);
    ASSERT_EQ(ZPX_WriteCtrlMemory(o.handle, 3, 0, 20000, bytes.data()), 0u);
    std::vector<uint8_t> back(20000);
    ASSERT_EQ(ZPX_ReadCtrlMemory(o.handle, 3, 0, 20000, back.data()), 0u);
    EXPECT_EQ(o.peer->readHeaders, (std::vector<uint32_t>{8192, 8192, 3616}));
    EXPECT_EQ(back, bytes);
    o.peer->readHeaders.clear();
    o.peer->shortenNextReadBy = 100;
    std::fill(back.begin(), back.end(), 0);
    ASSERT_EQ(ZPX_ReadCtrlMemory(o.handle, 3, 0, 20000, back.data()), 0u);
    EXPECT_EQ(o.peer->readHeaders, (std::vector<uint32_t>{8192, 8192, 3716}));
    EXPECT_EQ(back, bytes);

    // Memory 5 is read one address ahead by the controller-numbered form only.
    tcp.sent.clear();
    ASSERT_EQ(ZPX_ReadCtrlMemory(o.handle, 5, 0x100, 1, back.data()), 0u);
    EXPECT_EQ(Le32(tcp.sent.data() + 4), 0x0802u);  // groups 1 and 4, each shifted by one
    tcp.sent.clear();
    ASSERT_EQ(ZPX_ReadMemory(o.handle, 0, 5, 0x100, 1, back.data()), 0u);
    EXPECT_EQ(Le32(tcp.sent.data() + 4), 0x0800u);
    EXPECT_EQ(Le32(tcp.sent.data()), 0x04300008u);

    // A connection closed in the middle of a read, or a failed send: 10.
    tcp.onSend = nullptr;
    tcp.script.push_back({TcpEvent::kClose, {}});
    EXPECT_EQ(ZPX_ReadCtrlMemoryNa(o.handle, 0, 10, back.data()), 10u);
    tcp.failSends = true;
    EXPECT_EQ(ZPX_WriteCtrlMemoryNa(o.handle, 0, 10, back.data()), 10u);
    ZPX_CloseController(o.handle);
}

TEST(MemoryTransfer, BadInputIsRefusedBeforeAnythingIsSent) {
    for (const Target& t : {kPci, kEthernet}) {
        SCOPED_TRACE(t.label);
        ScopedFakePlatform fake;
        Opened o = OpenTarget(*fake, t);
        ASSERT_NE(o.handle, nullptr);
        FakeTcpState& tcp = *fake->nextConnection;
        const size_t sentBefore = tcp.sent.size();
        uint8_t buffer[8] = {};
        const ZPX_Handle h = o.handle;
        const uint32_t refused[] = {
            ZPX_WriteCtrlMemory(h, 6, 0, 8, buffer),
            ZPX_ReadCtrlMemory(h, 6, 0, 8, buffer),
            ZPX_WriteMemory(h, 0, 9, 0, 8, buffer),
            ZPX_ReadMemory(h, 0, 0xFFFFFFFF, 0, 8, buffer),
            ZPX_WriteCtrlMemory(h, 0, 0, 8, nullptr),
            ZPX_WriteCtrlMemoryNa(h, 0, 8, nullptr),
            ZPX_ReadCtrlMemory(h, 0, 0, 8, nullptr),
            ZPX_ReadCtrlMemoryNa(h, 0, 8, nullptr),
            ZPX_WriteMemory(h, 0, 0, 0, 1, nullptr),
            ZPX_ReadMemory(h, 0, 0, 0, 1, nullptr),
            ZPX_WriteMemoryEx(h, 0, 0, 1, nullptr),
            ZPX_ReadMemoryEx(h, 0, 0, 1, nullptr),
        };
        for (uint32_t rc : refused)
            EXPECT_EQ(rc, 10u);
        if (o.device) {
            EXPECT_EQ(o.device->calls.size(), o.openCalls);
        }
        EXPECT_EQ(tcp.sent.size(), sentBefore);
        EXPECT_EQ(ZPX_WriteCtrlMemory(nullptr, 0, 0, 8, buffer), 2u);
        ZPX_CloseController(h);
    }
}

TEST(MemoryTransfer, FailedPieceIs10AndEarlierPiecesStay) {
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kPci);
    ASSERT_NE(o.handle, nullptr);
    const auto bytes = Pattern(3 * 4096, 3);
    o.mem->failPieceAt = 1;
    EXPECT_EQ(ZPX_WriteCtrlMemory(o.handle, 0, 0, 3 * 4096, bytes.data()), 10u);
    EXPECT_EQ(o.mem->pieces.size(), 2u);  // nothing after the refused piece
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 4096, o.mem->memory[0].begin()));
    // The unaddressed forms pass a larger memory number on as the select; this driver refuses.
    EXPECT_EQ(ZPX_WriteCtrlMemoryNa(o.handle, 7, 4, bytes.data()), 10u);
    EXPECT_EQ(Le32(o.device->calls.back().in.data()), 7u);
    // Results wait for the stopped-controller settle before they are read.
    ControllerSession& s = SessionOf(o.handle);
    ASSERT_EQ(ArmSettle(s, 16, kSettleStopped), kOk);
    fake->alarmCalls.clear();
    std::vector<uint8_t> back(4);
    EXPECT_EQ(ZPX_ReadCtrlMemoryNa(o.handle, 0, 4, back.data()), 0u);
    ASSERT_EQ(fake->alarmCalls.size(), 2u);
    EXPECT_EQ(fake->alarmCalls[0].op, "wait");
    ZPX_CloseController(o.handle);
}

}  // namespace
}  // namespace zpx::testing
