// The controller behind a fake driver device, seen from the device side: byte registers (register
// 3 selects: a write chooses what it reads as), the status query, the address counters and the
// six memories. It decodes every request on its own, never through the library's encoders, so a
// layout mistake in the library shows up as a failed round trip. Plus the ways the tests open
// controllers and look at what was sent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "device/controller_session.h"
#include "fake_platform.h"
#include "session/handle_table.h"
#include "transport/driver_requests.h"
#include "zpx/zpx.h"

namespace zpx::testing {

struct RegisterFile {
    std::map<uint32_t, uint8_t> regs;  // driver register number -> byte
    // What reads give before `regs`, one byte a read, the last one staying: of a register, and of
    // register 3 under each select.
    std::map<uint32_t, std::deque<uint8_t>> queued, selected;
    uint32_t select = 0;
    int64_t driverId = 0x90300000;  // -1: the driver refuses the id request
    int64_t podSense = 1;           // -1: the driver refuses the pod sense
    bool statusQueryAnswers = true;
    uint32_t statusWords[2] = {0, 0};
    int failAfter = -1;  // fail every request once this many succeeded
    int failAt = -1;     // fail only the request that finds this many succeeded
    int served = 0;
    std::vector<std::string>* log = nullptr;  // where register accesses are noted
    std::map<uint32_t, uint32_t> counters;    // write counters; 3 positions memories 3, 4 and 5
    std::vector<uint8_t> memory[6];
    std::vector<uint32_t> pieceLengths;  // request length of every memory or image piece
    std::vector<std::vector<uint8_t>> configWrites;  // configuration packets and image headers
    std::vector<uint8_t> configReply = std::vector<uint8_t>(12, 0);  // a configuration read's

    uint8_t Read(uint32_t reg, bool take) {
        std::deque<uint8_t>& q = reg == 3 ? selected[select] : queued[reg];
        const uint8_t byte = q.empty() ? (reg == 3 ? 0 : regs[reg]) : q.front();
        if (take && q.size() > 1) q.pop_front();
        return byte;
    }
};

inline DriverHandler RegisterFileHandler(std::shared_ptr<RegisterFile> file) {
    return [file](uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                  uint32_t outLength) {
        static constexpr unsigned kMemoryOfSelect[6] = {0, 2, 1, 3, 4, 5};
        static constexpr unsigned kCounterOfSelect[4] = {0, 2, 1, 3};
        RegisterFile& f = *file;
        const uint32_t a = inLength >= 4 ? GetU32(in) : 0, b = inLength >= 8 ? GetU32(in + 4) : 0;
        auto note = [&](const char* what, uint32_t value) {
            char text[24];
            std::snprintf(text, sizeof text, what, a, value);
            if (f.log != nullptr) f.log->push_back(text);
        };
        if (f.served == f.failAt || (f.failAfter >= 0 && f.served >= f.failAfter)) {
            if (f.served == f.failAt) f.failAt = -1;
            note("fail", 0);
            return false;
        }
        ++f.served;
        switch (code) {
            case 0x9C406478:  // driver id
                if (f.driverId >= 0) PutU32(out, static_cast<uint32_t>(f.driverId));
                return f.driverId >= 0;
            case 0x9C406440:  // configuration packet or image header
                f.configWrites.emplace_back(in, in + inLength);
                return true;
            case 0x9C406444:  // configuration read (12 in and out), or image status (out only)
                std::copy(f.configReply.begin(), f.configReply.end(), out);
                return outLength == 12 && (inLength == 12 || inLength == 0);
            case 0x9C406448:  // image piece: 0, 0, length, the bytes, 4 spare
                f.pieceLengths.push_back(inLength);
                return inLength == GetU32(in + 8) + 16;
            case 0x9C406424:  // pod sense
                if (f.podSense >= 0) PutU32(out, static_cast<uint32_t>(f.podSense));
                note("sense", 0);
                return f.podSense >= 0;
            case 0x9C40643C:  // status registers
                PutU32(out, f.statusWords[0]);
                PutU32(out + 4, f.statusWords[1]);
                return f.statusQueryAnswers;
            case 0x9C406404:  // four consecutive registers, as the FireWire driver answers
                PutU32(out, a);
                for (uint32_t i = 0; i < 4; ++i)
                    out[4 + i] = f.Read(a + i, i == 0);
                note("r%x=%x", out[4]);
                return true;
            case 0x9C406408:
                if (a == 3) f.select = b;
                if (a != 3) f.regs[a] = static_cast<uint8_t>(b);
                note("w%x=%x", b);
                return true;
            case 0x9C406430:  // current driver: the counter number as it is
            case 0x9C406434:
                if (code == 0x9C406430) f.counters[a] = b;
                if (code == 0x9C406434) PutU32(out + 4, f.counters[a]);
                return true;
            case 0x9C40640C:  // older driver: the immediate address counter
            case 0x9C406410:
                if (code == 0x9C40640C) f.counters[4] = a;
                if (code == 0x9C406410) PutU32(out, f.counters[4]);
                return true;
            case 0x9C406400:  // older driver: by select, 1 and 2 exchanged
                if (a > 3) return false;
                f.counters[kCounterOfSelect[a]] = b;
                return true;
            case 0x9C406418:  // memory write and read: select, 0, count, data, 4 spare bytes
            case 0x9C40641C: {
                const bool write = code == 0x9C406418;
                const uint32_t count = GetU32(in + 8);
                f.pieceLengths.push_back(inLength);
                if (a > 5 || inLength < count + 16 || (!write && outLength != count + 16))
                    return false;
                const unsigned m = kMemoryOfSelect[a];
                uint32_t& at = f.counters[m < 3 ? m : 3];
                if (f.memory[m].size() < at + count) f.memory[m].resize(at + count);
                uint8_t* p = f.memory[m].data() + at;
                at += count;
                write ? std::copy(in + 12, in + 12 + count, p) : std::copy(p, p + count, out + 12);
                return true;
            }
        }
        return false;
    };
}

struct Target {
    const char* label;
    const char* name;  // controller name
    const char* path;  // device path, or "" for Ethernet
    int64_t driverId;  // answer of the driver-id request; -1 an older driver
    uint32_t chunk;
};

inline constexpr Target kIsa{"ISA", "ISA0,5120", "\\\\.\\isa5120", 0, 4096};
inline constexpr Target kPciLegacy{"PCI older driver", "PCI,5120", "\\\\.\\PCI5120_0", -1, 4096};
inline constexpr Target kPci5120{"PCI 5120", "PCI,5120", "\\\\.\\PCI5120_0", 0x90500000, 4096};
inline constexpr Target kPci{"PCI", "PCI", "\\\\.\\PCI51X4EX_0", 0x90300000, 4096};
inline constexpr Target kUsb5120{"USB 5120", "USB0,5120", "\\\\.\\Usb5120_0", 0x90500000, 4096};
inline constexpr Target kUsb{"USB 51x4", "USB", "\\\\.\\Usb51x4EX_0", 0x90300000, 131072};
inline constexpr Target kFireWire{"FireWire", "FW", "\\\\.\\Fw51x4_0", 0, 16384};
inline constexpr Target kEthernet{"Ethernet", "ETH127.0.0.1", "", 0, 8192};
inline constexpr Target kDriverTargets[] = {kIsa, kPciLegacy, kPci, kUsb5120, kUsb, kFireWire};

// What an export with a trailing output hands back on handle `h`; the export must succeed.
template <class T = uint32_t, class F, class... A>
T GetFrom(ZPX_Handle h, F export_, A... args) {
    T v = static_cast<T>(0xDEADBEEF);
    EXPECT_EQ(export_(h, args..., &v), ZPX_STATUS_OK);
    return v;
}

// The status of an open of `name` that must fail.
inline uint32_t FailedOpen(const char* name) {
    uint32_t status = 99;
    EXPECT_EQ(ZPX_OpenController(name, &status), nullptr) << (name ? name : "(null)");
    return status;
}

// A controller opened on a fake platform of its own and closed at the end of the scope: `t` on
// `file` (Ethernet: a connection that answers the open's reads with zeros) on a platform that
// `prepare` may change first, with what the open itself sent moved aside to `openCalls`, so
// that a test sees only its own traffic. A failed open is reported here; the session of one is
// not there to look at.
struct Opened {
    explicit Opened(const Target& t,
                    std::shared_ptr<RegisterFile> f = std::make_shared<RegisterFile>(),
                    const std::function<void(FakePlatform&)>& prepare = nullptr)
        : file(std::move(f)) {
        if (prepare) prepare(*fake);
        if (t.path[0] == '\0') {
            tcp = fake->nextConnection.get();
            // Zeros for every read the open makes (identification, serial numbers); what is
            // left over is cleared below, so no reply of the open stays owed.
            tcp->script.assign(64, {TcpEvent::kData, std::vector<uint8_t>(12, 0)});
        } else {
            file->driverId = t.driverId;
            device = fake->AddDevice(t.path, RegisterFileHandler(file));
        }
        uint32_t status = 99;
        handle = ZPX_OpenController(t.name, &status);
        EXPECT_EQ(status, ZPX_STATUS_OK) << t.name;
        if (device) openCalls = std::exchange(device->calls, {});
        if (tcp) *tcp = FakeTcpState{};
        file->log = &fake->log;
        fake->log.clear();
    }
    ~Opened() {
        if (handle != nullptr) ZPX_CloseController(handle);
    }
    ControllerSession& s() const {
        if (handle == nullptr) throw std::logic_error("the controller did not open");
        return SessionOf(handle);
    }
    uint32_t Close() { return ZPX_CloseController(std::exchange(handle, nullptr)); }
    template <class T = uint32_t, class F, class... A>
    T Get(F export_, A... args) {
        return GetFrom<T>(handle, export_, args...);
    }

    ScopedFakePlatform fake;
    std::shared_ptr<RegisterFile> file;
    std::shared_ptr<FakeDriverState> device;  // driver targets
    std::vector<DriverCall> openCalls;
    FakeTcpState* tcp = nullptr;  // Ethernet
    ZPX_Handle handle = nullptr;
};

// Queues register-2 reads whose bit 0 gives `bits` in order (spaces group the fields).
inline void Answer(RegisterFile& f, std::string_view bits) {
    f.queued[2].clear();
    for (char c : bits)
        if (c != ' ') f.queued[2].push_back(c == '1' ? 0xF1 : 0xF0);
}

// Identifies the already powered pod of a 51x4 controller through ZPX_SetPodPowerOn: register 3
// reads pod kind `kind` (0, 2, or 3 for a pod not recognised while the extender is not off), and
// TAP i answers as one of type 0 or 1 (taps[i] '0' or '1') or not at all ('-'). What it sent is
// not kept.
inline void IdentifyPod(Opened& o, uint8_t kind, std::string_view taps = "") {
    o.file->regs[0x0B] = 3;
    o.file->selected[0] = {kind};
    std::string bits = kind == 2 ? "0" : "";  // the read an extender command starts with
    for (char t : taps)
        bits += t == '-' ? "1111111111" : t == '1' ? "0100000000" : "0000000000";
    Answer(*o.file, bits);
    EXPECT_EQ(ZPX_SetPodPowerOn(o.handle), ZPX_STATUS_OK);
    o.file->queued[2].clear();
    o.fake->log.clear();
    o.device->calls.clear();
}

// How often `what` occurs in `text`.
inline size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

using Request = std::tuple<uint32_t, uint32_t, uint32_t>;

// The 12-byte packets sent on a fake connection: (command word, data0, data1).
inline std::vector<Request> Packets(const FakeTcpState& tcp) {
    std::vector<Request> out;
    for (size_t i = 0; i + 12 <= tcp.sent.size(); i += 12) {
        const uint8_t* p = tcp.sent.data() + i;
        out.emplace_back(GetU32(p), GetU32(p + 4), GetU32(p + 8));
    }
    return out;
}

// 32-bit words as they travel, low byte first.
inline std::vector<uint8_t> WordBytes(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes(4 * words.size());
    for (size_t i = 0; i < words.size(); ++i)
        PutU32(&bytes[4 * i], words.begin()[i]);
    return bytes;
}

}  // namespace zpx::testing
