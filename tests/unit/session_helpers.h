// Helpers shared by the unit tests: sessions opened on fake devices and connections, and the
// requests a fake device saw in a form that compares and prints well.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/bytes.h"
#include "driver_fixture.h"
#include "fake_platform.h"
#include "session/session.h"
#include "transport/driver_requests.h"

namespace zpx::testing {

// A register file whose register 3 is a select register, as on the controller: a write chooses
// what is read back and does not change it.
inline DriverHandler SelectRegisterHandler(std::shared_ptr<RegisterFile> file) {
    auto inner = RegisterFileHandler(file);
    return [file, inner](uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                         uint32_t outLength) {
        if (code == transport::kRequestRegisterWrite && GetU32(in) == 3 &&
            (file->failAfter < 0 || file->served < file->failAfter)) {
            ++file->served;
            return true;
        }
        return inner(code, in, inLength, out, outLength);
    };
}

// Opens `name` on a fake device at `path`; the requests of the open itself are dropped so that
// a test sees only its own.
inline ZPX_Handle OpenOnDevice(FakePlatform& fake, const char* name, const char* path,
                               std::shared_ptr<RegisterFile> file,
                               std::shared_ptr<FakeDriverState>* device = nullptr) {
    auto state = fake.AddDevice(path, SelectRegisterHandler(file));
    uint32_t status = 99;
    ZPX_Handle h = ZPX_OpenController(name, &status);
    EXPECT_EQ(status, 0u) << name;
    state->calls.clear();
    if (device != nullptr) *device = state;
    return h;
}

// An Ethernet controller behind the fake connection: every read packet (opcode 1) is answered
// with a copy whose data0 is regs[address]; writes are swallowed. `sent` must only grow.
inline void ServeLanRegisters(FakeTcpState& tcp,
                              std::shared_ptr<std::map<uint8_t, uint32_t>> regs) {
    auto consumed = std::make_shared<size_t>(0);
    tcp.onSend = [regs, consumed](FakeTcpState& t) {
        while (t.sent.size() - *consumed >= 12) {
            const uint8_t* p = t.sent.data() + *consumed;
            *consumed += 12;
            if (GetU16(p) != 1) continue;
            std::vector<uint8_t> reply(p, p + 12);
            PutU32(reply.data() + 4, (*regs)[p[2]]);
            t.script.push_back({TcpEvent::kData, reply});
        }
    };
}

// (code, first u32, second u32) of each request: for register requests (code, register, value).
using Request = std::tuple<uint32_t, uint32_t, uint32_t>;
inline std::vector<Request> Requests(const FakeDriverState& device) {
    std::vector<Request> out;
    for (const DriverCall& c : device.calls) {
        out.emplace_back(c.code, c.in.size() >= 4 ? GetU32(c.in.data()) : 0,
                         c.in.size() >= 8 ? GetU32(c.in.data() + 4) : 0);
    }
    return out;
}

inline Request ReadOf(uint32_t reg) {
    return {transport::kRequestRegisterRead, reg, 0};
}
inline Request WriteOf(uint32_t reg, uint32_t value) {
    return {transport::kRequestRegisterWrite, reg, value};
}

// The 12-byte packets sent on a fake connection from byte `from` on, as (command word, data0,
// data1).
inline std::vector<Request> Packets(const FakeTcpState& tcp, size_t from = 0) {
    std::vector<Request> out;
    for (size_t i = from; i + 12 <= tcp.sent.size(); i += 12) {
        const uint8_t* p = tcp.sent.data() + i;
        out.emplace_back(GetU32(p), GetU32(p + 4), GetU32(p + 8));
    }
    return out;
}

// "op id value" of each alarm call since `from`, comma-separated.
inline std::string AlarmTrace(const FakePlatform& fake, size_t from = 0) {
    std::string out;
    for (size_t i = from; i < fake.alarmCalls.size(); ++i) {
        const AlarmCall& c = fake.alarmCalls[i];
        out += (out.empty() ? "" : ",") + c.op + " " + std::to_string(c.id);
        if (c.op == "alloc" || c.op == "set") out += " " + std::to_string(c.value);
    }
    return out;
}

}  // namespace zpx::testing
