#include <gtest/gtest.h>

#include <vector>

#include "fake_memory_controller.h"

namespace zpx::testing {
namespace {

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return bytes;
}

struct CounterCase {
    bool write;
    uint32_t counter;
    uint32_t code;  // 0: nothing is sent
    std::vector<uint8_t> in;
    uint32_t outLength;
    uint32_t value;  // read: the value expected back
};

TEST(Counters, OlderAndCurrentDriversGetTheirOwnRequests) {
    const uint32_t v = 0x11223344;
    const struct {
        Target target;
        std::vector<CounterCase> cases;
    } paths[] = {
        {kPciLegacy,
         {{true, 0, 0x9C406400, Words({0, v}), 0, 0},
          {true, 1, 0x9C406400, Words({2, v}), 0, 0},
          {true, 2, 0x9C406400, Words({1, v}), 0, 0},
          {true, 3, 0x9C406400, Words({3, v}), 0, 0},
          {true, 4, 0x9C40640C, Words({v}), 0, 0},
          {true, 77, 0x9C406400, Words({0, v}), 0, 0},
          {false, 0, 0x9C406410, Words({0}), 4, 0x00ABCDEF},
          {false, 1, 0, {}, 0, 0}}},
        {kPci,
         {{true, 1, 0x9C406430, Words({1, v}), 8, 0},
          {true, 4, 0x9C406430, Words({4, v}), 8, 0},
          {false, 2, 0x9C406434, Words({2, 0}), 8, 0x1002},
          {false, 9, 0x9C406434, Words({9, 0}), 8, 0x1009}}},
    };
    for (const auto& path : paths) {
        ScopedFakePlatform fake;
        Opened o = OpenTarget(*fake, path.target);
        ASSERT_NE(o.handle, nullptr);
        auto inner = o.device->handler;
        o.device->handler = [&](uint32_t code, const uint8_t* in, uint32_t n, uint8_t* out,
                                uint32_t m) {
            if (o.regs->failAfter == 0) return false;
            if (code == 0x9C406410) PutU32(out, 0x00ABCDEF);
            if (code == 0x9C406434) PutU32(out + 4, 0x1000 + Le32(in));
            return code == 0x9C406410 || code == 0x9C406434 || inner(code, in, n, out, m);
        };
        for (const CounterCase& c : path.cases) {
            SCOPED_TRACE(std::string(path.target.label) + (c.write ? " write " : " read ") +
                         std::to_string(c.counter));
            o.device->calls.clear();
            uint32_t value = 0xDEAD;
            EXPECT_EQ(c.write ? ZPX_WriteCtrlCounter(o.handle, c.counter, v)
                              : ZPX_ReadCounter(o.handle, 123, c.counter, &value),
                      0u);
            ASSERT_EQ(o.device->calls.size(), c.code ? 1u : 0u);
            if (c.code != 0) {
                EXPECT_EQ(o.device->calls[0].code, c.code);
                EXPECT_EQ(o.device->calls[0].in, c.in);
                EXPECT_EQ(o.device->calls[0].outLength, c.outLength);
            }
            if (!c.write) {
                EXPECT_EQ(value, c.value);
            }
        }
        // A refused request is 10, and a read then reports 0; a missing output is 10.
        o.regs->failAfter = 0;
        uint32_t value = 0xDEAD;
        EXPECT_EQ(ZPX_WriteCounter(o.handle, 0, 1, v), 10u);
        EXPECT_EQ(ZPX_ReadCtrlCounter(o.handle, 0, &value), 10u);
        EXPECT_EQ(value, 0u);
        EXPECT_EQ(ZPX_ReadCtrlCounter(o.handle, 0, nullptr), 10u);
        ZPX_CloseController(o.handle);
    }
}

TEST(Counters, EthernetPacketsCarryPackedAddressGroups) {
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kEthernet);
    ASSERT_NE(o.handle, nullptr);
    FakeTcpState& tcp = *o.tcp;
    const struct {
        uint32_t counter, value;
        std::vector<uint8_t> packet;
    } writes[] = {
        {0, 0x123456, Words({0x04100008, 0x0846222C, 0})},
        {1, 0x000001, Words({0x04180008, 0x00000002, 0})},
        {2, 0xFFFFFF, Words({0x04200008, 0x7E7E7E7E, 0})},
        {3, 0x123456, Words({0x04300008, 0x0846222C, 0})},
        {4, 0xAB123456, Words({0x03080008, 0x00123456, 0})},
        {5, 0xFFFFFFFF, Words({0x06340008, 0x7E7E7E7E, 0x0000067E})},
        {6, 0x123456, Words({0, 0, 0})},
    };
    for (const auto& w : writes) {
        tcp.sent.clear();
        EXPECT_EQ(ZPX_WriteCtrlCounter(o.handle, w.counter, w.value), 0u);
        EXPECT_EQ(tcp.sent, w.packet) << w.counter;  // and no reply is awaited
    }
    const struct {
        uint32_t counter, command, value;
    } reads[] = {{0, 0x03080004, 0x123456},
                 {1, 0x03300004, 0x123456},
                 {2, 0x04340004, 0xAB123456},
                 {3, 0, 0}};
    for (const auto& r : reads) {
        tcp.sent.clear();
        tcp.script = {{TcpEvent::kData, Words({r.command, 0xAB123456, 0})}};
        uint32_t value = 0xDEAD;
        EXPECT_EQ(ZPX_ReadCtrlCounter(o.handle, r.counter, &value), 0u);
        EXPECT_EQ(value, r.value) << r.counter;
        EXPECT_EQ(tcp.sent, r.command ? Words({r.command, 0, 0}) : std::vector<uint8_t>{});
    }
    // A reply that never comes, or a send that fails: 10.
    tcp.script.clear();
    uint32_t value = 0xDEAD;
    EXPECT_EQ(ZPX_ReadCtrlCounter(o.handle, 0, &value), 10u);
    EXPECT_EQ(value, 0u);
    tcp.failSends = true;
    EXPECT_EQ(ZPX_WriteCtrlCounter(o.handle, 0, 1), 10u);
    ZPX_CloseController(o.handle);
}

}  // namespace
}  // namespace zpx::testing
