// A driver that holds memories and counters, seen from the device side: it decodes the memory and
// counter requests on its own (never through the library's encoders), so a layout mistake in the
// library shows up as a failed round trip. Plus the ways of reaching a controller the tests open.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver_fixture.h"
#include "fake_platform.h"
#include "zpx/zpx.h"

namespace zpx::testing {

inline uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct FakeMemories {
    std::array<std::vector<uint8_t>, 6> memory;
    std::array<uint32_t, 6> counters{};  // write counters; 3 is shared by memories 3, 4 and 5
    std::vector<uint32_t> pieceLengths;  // request length of every memory piece
    int failPieceAt = -1;                // refuse the memory piece with this index

    uint8_t* At(unsigned m, uint32_t n) {
        uint32_t& at = counters[m < 3 ? m : 3];
        if (memory[m].size() < at + n) memory[m].resize(at + n);
        at += n;
        return memory[m].data() + at - n;
    }
};

inline DriverHandler MemoryDriverHandler(std::shared_ptr<RegisterFile> file,
                                         std::shared_ptr<FakeMemories> mem) {
    DriverHandler registers = RegisterFileHandler(file);
    return [=](uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
               uint32_t outLength) {
        static constexpr unsigned kMemoryOfSelect[6] = {0, 2, 1, 3, 4, 5};
        static constexpr unsigned kCounterOfSelect[4] = {0, 2, 1, 3};
        const bool write = code == 0x9C406418;
        if (write || code == 0x9C40641C) {
            const uint32_t select = Le32(in), count = Le32(in + 8);
            mem->pieceLengths.push_back(inLength);
            if (static_cast<int>(mem->pieceLengths.size()) - 1 == mem->failPieceAt) return false;
            if (select > 5 || inLength < count + 16 || (!write && outLength != count + 16))
                return false;
            uint8_t* at = mem->At(kMemoryOfSelect[select], count);
            write ? std::copy(in + 12, in + 12 + count, at) : std::copy(at, at + count, out + 12);
            return true;
        }
        if (code == 0x9C406430 && Le32(in) <= 5) {  // current driver: the counter number as is
            mem->counters[Le32(in)] = Le32(in + 4);
            return true;
        }
        if (code == 0x9C40640C) {  // older driver: the immediate address counter
            mem->counters[4] = Le32(in);
            return true;
        }
        if (code == 0x9C406400 && Le32(in) <= 3) {  // older driver: by select, 1 and 2 swapped
            mem->counters[kCounterOfSelect[Le32(in)]] = Le32(in + 4);
            return true;
        }
        return registers(code, in, inLength, out, outLength);
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
inline constexpr Target kPci{"PCI", "PCI", "\\\\.\\PCI51X4EX_0", 0x90300000, 4096};
inline constexpr Target kUsb5120{"USB 5120", "USB0,5120", "\\\\.\\Usb5120_0", 0x90500000, 4096};
inline constexpr Target kUsb{"USB 51x4", "USB", "\\\\.\\Usb51x4EX_0", 0x90300000, 131072};
inline constexpr Target kFireWire{"FireWire", "FW", "\\\\.\\Fw51x4_0", 0, 16384};
inline constexpr Target kEthernet{"Ethernet", "ETH127.0.0.1", "", 0, 8192};
inline constexpr Target kDriverTargets[] = {kIsa, kPciLegacy, kPci, kUsb5120, kUsb, kFireWire};

struct Opened {
    ZPX_Handle handle = nullptr;
    std::shared_ptr<FakeMemories> mem = std::make_shared<FakeMemories>();
    std::shared_ptr<RegisterFile> regs = std::make_shared<RegisterFile>();
    std::shared_ptr<FakeDriverState> device;  // driver targets
    FakeTcpState* tcp = nullptr;              // Ethernet: the connection, its record cleared
};

// Opens `t`; an Ethernet controller gets the four replies that opening reads.
inline Opened OpenTarget(FakePlatform& fake, const Target& t) {
    Opened o;
    if (t.path[0] == '\0') {
        o.tcp = fake.nextConnection.get();
        for (int i = 0; i < 4; ++i)
            o.tcp->script.push_back({TcpEvent::kData, std::vector<uint8_t>(12, 0)});
    } else {
        o.regs->driverId = t.driverId;
        o.device = fake.AddDevice(t.path, MemoryDriverHandler(o.regs, o.mem));
    }
    uint32_t status = 99;
    o.handle = ZPX_OpenController(t.name, &status);
    if (o.device) o.device->calls.clear();
    if (o.tcp) *o.tcp = FakeTcpState{};
    return o;
}

}  // namespace zpx::testing
