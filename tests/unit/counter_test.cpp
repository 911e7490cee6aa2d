#include <gtest/gtest.h>

#include <vector>

#include "fake_memory_controller.h"
#include "zpx/zpx.h"

namespace zpx::testing {
namespace {

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return bytes;
}

// Answers the counter reads with recognisable values; everything else as a register file.
DriverHandler CounterReadHandler(std::shared_ptr<RegisterFile> file) {
    DriverHandler registers = RegisterFileHandler(file);
    return [=](uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLen) {
        if (file->failAfter >= 0 && file->served >= file->failAfter) return false;
        if (code == 0x9C406410) {
            SetLe32(out, 0x00ABCDEF);
            return true;
        }
        if (code == 0x9C406434) {
            SetLe32(out + 4, 0x1000 + Le32(in));
            return true;
        }
        if (code == 0x9C406400 || code == 0x9C40640C || code == 0x9C406430) return true;
        return registers(code, in, inLength, out, outLen);
    };
}

struct DriverCounterCase {
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
        std::vector<DriverCounterCase> cases;
    } paths[] = {
        {kPciLegacy,
         {{true, 0, 0x9C406400, Words({0, v}), 0, 0},
          {true, 1, 0x9C406400, Words({2, v}), 0, 0},
          {true, 2, 0x9C406400, Words({1, v}), 0, 0},
          {true, 3, 0x9C406400, Words({3, v}), 0, 0},
          {true, 4, 0x9C40640C, Words({v}), 0, 0},
          {true, 5, 0x9C406400, Words({0, v}), 0, 0},
          {true, 77, 0x9C406400, Words({0, v}), 0, 0},
          {false, 0, 0x9C406410, Words({0}), 4, 0x00ABCDEF},
          {false, 1, 0, {}, 0, 0},
          {false, 2, 0, {}, 0, 0}}},
        {kPci,
         {{true, 1, 0x9C406430, Words({1, v}), 8, 0},
          {true, 2, 0x9C406430, Words({2, v}), 8, 0},
          {true, 4, 0x9C406430, Words({4, v}), 8, 0},
          {true, 5, 0x9C406430, Words({5, v}), 8, 0},
          {false, 0, 0x9C406434, Words({0, 0}), 8, 0x1000},
          {false, 2, 0x9C406434, Words({2, 0}), 8, 0x1002},
          {false, 9, 0x9C406434, Words({9, 0}), 8, 0x1009}}},
    };
    for (const auto& path : paths) {
        for (const DriverCounterCase& c : path.cases) {
            SCOPED_TRACE(std::string(path.target.label) + (c.write ? " write " : " read ") +
                         std::to_string(c.counter));
            ScopedFakePlatform fake;
            auto file = std::make_shared<RegisterFile>();
            file->driverId = path.target.driverId;
            auto device = fake->AddDevice(path.target.path, CounterReadHandler(file));
            uint32_t status = 0;
            ZPX_Handle h = ZPX_OpenController(path.target.name, &status);
            ASSERT_NE(h, nullptr);
            device->calls.clear();
            uint32_t value = 0xDEAD;
            const uint32_t rc = c.write ? ZPX_WriteCtrlCounter(h, c.counter, v)
                                        : ZPX_ReadCounter(h, 123, c.counter, &value);
            EXPECT_EQ(rc, 0u);
            if (c.code == 0) {
                EXPECT_TRUE(device->calls.empty());
            } else {
                ASSERT_EQ(device->calls.size(), 1u);
                EXPECT_EQ(device->calls[0].code, c.code);
                EXPECT_EQ(device->calls[0].in, c.in);
                EXPECT_EQ(device->calls[0].outLength, c.outLength);
            }
            if (!c.write) {
                EXPECT_EQ(value, c.value);
            }
            // A refused request is 10, and a read then reports 0.
            file->failAfter = 0;
            value = 0xDEAD;
            const uint32_t failed = c.write ? ZPX_WriteCounter(h, 0, c.counter, v)
                                            : ZPX_ReadCtrlCounter(h, c.counter, &value);
            EXPECT_EQ(failed, c.code == 0 ? 0u : 10u);
            if (!c.write) {
                EXPECT_EQ(value, 0u);
            }
            EXPECT_EQ(ZPX_ReadCtrlCounter(h, 0, nullptr), 10u);
            file->failAfter = -1;
            ZPX_CloseController(h);
        }
    }
}

TEST(Counters, EthernetPacketsCarryPackedAddressGroups) {
    ScopedFakePlatform fake;
    Opened o = OpenTarget(*fake, kEthernet);
    ASSERT_NE(o.handle, nullptr);
    FakeTcpState& tcp = *fake->nextConnection;
    tcp.onSend = nullptr;

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
        SCOPED_TRACE(w.counter);
        tcp.sent.clear();
        EXPECT_EQ(ZPX_WriteCtrlCounter(o.handle, w.counter, w.value), 0u);
        EXPECT_EQ(tcp.sent, w.packet);
        EXPECT_TRUE(tcp.script.empty());  // nothing is awaited
    }

    const struct {
        uint32_t counter, command, value;
    } reads[] = {
        {0, 0x03080004, 0x00123456},
        {1, 0x03300004, 0x00123456},
        {2, 0x04340004, 0xAB123456},
        {3, 0, 0},
    };
    for (const auto& r : reads) {
        SCOPED_TRACE(r.counter);
        tcp.sent.clear();
        tcp.script.push_back({TcpEvent::kData, Words({r.command, 0xAB123456, 0})});
        uint32_t value = 0xDEAD;
        EXPECT_EQ(ZPX_ReadCtrlCounter(o.handle, r.counter, &value), 0u);
        EXPECT_EQ(value, r.value);
        EXPECT_EQ(tcp.sent, r.command ? Words({r.command, 0, 0}) : std::vector<uint8_t>{});
        tcp.script.clear();
    }

    // A reply that never comes, or a send that fails: 10.
    uint32_t value = 0xDEAD;
    EXPECT_EQ(ZPX_ReadCtrlCounter(o.handle, 0, &value), 10u);
    EXPECT_EQ(value, 0u);
    tcp.failSends = true;
    EXPECT_EQ(ZPX_WriteCtrlCounter(o.handle, 0, 1), 10u);
    ZPX_CloseController(o.handle);
}

}  // namespace
}  // namespace zpx::testing
