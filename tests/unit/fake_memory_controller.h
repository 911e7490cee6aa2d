// A controller that holds memories and counters, seen from the device side: it decodes the
// driver's memory and counter requests, and the Ethernet byte stream, on its own (never through
// the library's encoders), so a layout mistake in the library shows up as a failed round trip.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver_fixture.h"
#include "fake_platform.h"
#include "zpx/zpx.h"

namespace zpx::testing {

struct FakeMemories {
    std::array<std::vector<uint8_t>, 6> memory;
    // Write counters 0-5 as the controller holds them (3 is shared by memories 3, 4 and 5).
    std::array<uint32_t, 6> counters{};
    // Every driver memory piece: (request code, request length, byte count).
    struct Piece {
        uint32_t code, length, count;
    };
    std::vector<Piece> pieces;
    int failPieceAt = -1;  // refuse the memory piece with this index (0 = the first)

    static uint32_t CounterOf(unsigned m) { return m < 3 ? m : 3; }
    void Write(unsigned m, const uint8_t* data, size_t n) {
        uint32_t& at = counters[CounterOf(m)];
        if (memory[m].size() < at + n) memory[m].resize(at + n);
        std::copy(data, data + n, memory[m].begin() + at);
        at += static_cast<uint32_t>(n);
    }
    void Read(unsigned m, uint8_t* data, size_t n) {
        uint32_t& at = counters[CounterOf(m)];
        if (memory[m].size() < at + n) memory[m].resize(at + n);
        std::copy(memory[m].begin() + at, memory[m].begin() + at + n, data);
        at += static_cast<uint32_t>(n);
    }
};

inline uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
inline void SetLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Driver requests: memory pieces and current-driver counters here, registers by RegisterFile.
inline DriverHandler MemoryDriverHandler(std::shared_ptr<RegisterFile> file,
                                         std::shared_ptr<FakeMemories> mem) {
    DriverHandler registers = RegisterFileHandler(file);
    return
        [=](uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength) {
            static constexpr unsigned kMemoryOfSelect[6] = {0, 2, 1, 3, 4, 5};
            if (code == 0x9C406418 || code == 0x9C40641C) {
                const uint32_t select = Le32(in), count = Le32(in + 8);
                mem->pieces.push_back({code, inLength, count});
                if (static_cast<int>(mem->pieces.size()) - 1 == mem->failPieceAt) return false;
                if (select > 5 || inLength < count + 16) return false;
                if (code == 0x9C406418) {
                    mem->Write(kMemoryOfSelect[select], in + 12, count);
                } else {
                    if (outLength != count + 16) return false;
                    mem->Read(kMemoryOfSelect[select], out + 12, count);
                }
                return true;
            }
            if (code == 0x9C406430) {  // current driver: counter number as is
                if (Le32(in) > 5) return false;
                mem->counters[Le32(in)] = Le32(in + 4);
                return true;
            }
            if (code == 0x9C406400) {  // older driver: address counters by select, 1 and 2 swapped
                static constexpr unsigned kCounterOfSelect[4] = {0, 2, 1, 3};
                if (Le32(in) > 3) return false;
                mem->counters[kCounterOfSelect[Le32(in)]] = Le32(in + 4);
                return true;
            }
            return registers(code, in, inLength, out, outLength);
        };
}

// The Ethernet peer: answers register reads from `regs`, keeps memories and counters, and parses
// the stream in whatever pieces it was sent.
struct LanPeer {
    std::shared_ptr<FakeMemories> mem = std::make_shared<FakeMemories>();
    std::array<uint8_t, 256> regs{};
    size_t cursor = 0;
    uint32_t pendingWrite = 0;  // data bytes of a memory write still to come
    unsigned pendingMemory = 0;
    std::vector<uint32_t> readHeaders;  // byte count of every memory read header
    size_t shortenNextReadBy = 0;       // answer the next memory read this many bytes short

    static unsigned MemoryOfCode(uint8_t code) {
        static constexpr uint8_t kCodes[6] = {0x0C, 0x14, 0x1C, 0x24, 0x28, 0x2C};
        for (unsigned m = 0; m < 6; ++m)
            if (kCodes[m] == code) return m;
        return 99;
    }
    static uint32_t Unpack(uint32_t packed) {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k)
            v |= ((packed >> (8 * k + 1)) & 0x3F) << (6 * k);
        return v;
    }

    void Parse(FakeTcpState& tcp) {
        auto reply = [&](std::vector<uint8_t> bytes) {
            tcp.script.push_back({TcpEvent::kData, std::move(bytes)});
        };
        if (cursor > tcp.sent.size()) cursor = 0;  // the test cleared the record between calls
        while (true) {
            const size_t avail = tcp.sent.size() - cursor;
            const uint8_t* p = tcp.sent.data() + cursor;
            if (pendingWrite > 0) {
                if (avail == 0) return;
                const uint32_t n = std::min<uint32_t>(pendingWrite, static_cast<uint32_t>(avail));
                mem->Write(pendingMemory, p, n);
                pendingWrite -= n;
                cursor += n;
                continue;
            }
            if (avail < 12) return;
            const uint16_t opcode = static_cast<uint16_t>(p[0] | p[1] << 8);
            const uint8_t address = p[2];
            const uint32_t data0 = Le32(p + 4);
            if (opcode == 0x10 || opcode == 0x20) {
                if (avail < 16) return;
                cursor += 16;
                const unsigned m = MemoryOfCode(address);
                if (opcode == 0x20) {
                    pendingWrite = data0;
                    pendingMemory = m;
                } else {
                    readHeaders.push_back(data0);
                    std::vector<uint8_t> bytes(data0);
                    mem->Read(m, bytes.data(), data0);
                    bytes.resize(data0 - std::min<size_t>(shortenNextReadBy, data0));
                    // The part not sent is not consumed: the counter stands after what went out.
                    mem->counters[FakeMemories::CounterOf(m)] -=
                        data0 - static_cast<uint32_t>(bytes.size());
                    shortenNextReadBy = 0;
                    reply(std::move(bytes));
                }
                continue;
            }
            cursor += 12;
            std::vector<uint8_t> answer(p, p + 12);
            if (opcode == 0x01) {
                SetLe32(answer.data() + 4, regs[address]);
                reply(answer);
            } else if (opcode == 0x02) {
                regs[address] = static_cast<uint8_t>(data0);
            } else if (opcode == 0x08) {
                static constexpr uint8_t kAddr[6] = {0x10, 0x18, 0x20, 0x30, 0x08, 0x34};
                for (unsigned c = 0; c < 6; ++c)
                    if (kAddr[c] == address) mem->counters[c] = c == 4 ? data0 : Unpack(data0);
            } else if (opcode == 0x04) {
                SetLe32(answer.data() + 4, address == 0x08 ? mem->counters[4] : 0);
                reply(answer);
            }
        }
    }
};

// One way of reaching a controller, as the tests open it.
struct Target {
    const char* label;
    const char* name;  // controller name
    const char* path;  // device path, or "" for Ethernet
    int64_t driverId;  // answer of the driver-id request; -1 an older driver
    uint32_t chunk;
};

inline constexpr Target kIsa{"ISA", "ISA0,5120", "\\\\.\\isa5120", 0, 4096};
inline constexpr Target kPciLegacy{"PCI older driver", "PCI,5120", "\\\\.\\PCI5120_0", -1, 4096};
inline constexpr Target kPci{"PCI", "PCI", "\\\\.\\PCI51X4EX_0", 0x90300000, 4096};
inline constexpr Target kUsb5120{"USB 5120", "USB0,5120", "\\\\.\\Usb5120_0", 0x90500000, 4096};
inline constexpr Target kUsb{"USB 51x4", "USB", "\\\\.\\Usb51x4EX_0", 0x90300000, 131072};
inline constexpr Target kFireWire{"FireWire", "FW", "\\\\.\\Fw51x4_0", 0, 16384};
inline constexpr Target kEthernet{"Ethernet", "ETH127.0.0.1", "", 0, 8192};
inline constexpr Target kAllTargets[] = {kIsa, kPciLegacy, kPci,     kUsb5120,
                                         kUsb, kFireWire,  kEthernet};

struct Opened {
    ZPX_Handle handle = nullptr;
    std::shared_ptr<FakeMemories> mem;
    std::shared_ptr<RegisterFile> regs;
    std::shared_ptr<FakeDriverState> device;  // driver targets
    std::shared_ptr<LanPeer> peer;            // Ethernet
    size_t openCalls = 0;                     // driver requests made by opening
};

inline Opened OpenTarget(FakePlatform& fake, const Target& t) {
    Opened o;
    if (t.path[0] == '\0') {
        o.peer = std::make_shared<LanPeer>();
        o.mem = o.peer->mem;
        fake.nextConnection->onSend = [peer = o.peer](FakeTcpState& tcp) { peer->Parse(tcp); };
    } else {
        o.mem = std::make_shared<FakeMemories>();
        o.regs = std::make_shared<RegisterFile>();
        o.regs->driverId = t.driverId;
        o.device = fake.AddDevice(t.path, MemoryDriverHandler(o.regs, o.mem));
    }
    uint32_t status = 99;
    o.handle = ZPX_OpenController(t.name, &status);
    if (o.device) o.openCalls = o.device->calls.size();
    return o;
}

}  // namespace zpx::testing
