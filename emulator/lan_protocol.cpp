#include "lan_protocol.h"

#include <cstdio>
#include <iterator>

#include "wire.h"

namespace zpx::emu {

namespace {

// How a counter write carries its value in data0 and data1.
enum class CounterForm {
    kPacked,   // 6-bit groups in bits 1-6 of each byte of data0; data1 0
    kLow24,    // the value in the low 24 bits of data0; data1 0
    kPacked6,  // groups 0-3 in data0, group 4 in bits 1-6 of data1, group 5 in bits 1-2 of its
               // second byte
};

struct RegisterPort {
    uint8_t address;
    uint8_t width;
};
// The byte registers, the clock registers and the 16-bit word register.
constexpr RegisterPort kRegisterPorts[] = {{0x00, 1}, {0x01, 1}, {0x02, 1}, {0x03, 1},
                                           {0x0B, 1}, {0x06, 1}, {0x07, 1}, {0x04, 2}};

struct CounterPort {
    uint8_t address;
    uint8_t width;
    int counter;
    CounterForm form;
};
constexpr CounterPort kWriteCounterPorts[] = {
    {0x10, 4, 0, CounterForm::kPacked}, {0x18, 4, 1, CounterForm::kPacked},
    {0x20, 4, 2, CounterForm::kPacked}, {0x30, 4, 3, CounterForm::kPacked},
    {0x08, 3, 4, CounterForm::kLow24},  {0x34, 6, 5, CounterForm::kPacked6},
};
// Reads: the immediate address counter and the shared address counter of memories 3-5 in 24
// bits, the further counter in 32.
constexpr CounterPort kReadCounterPorts[] = {
    {0x08, 3, 4, CounterForm::kLow24},
    {0x30, 3, 3, CounterForm::kLow24},
    {0x34, 4, 5, CounterForm::kLow24},
};

struct SelectCode {
    uint8_t code;
    int memory;
};
constexpr SelectCode kSelectCodes[] = {{0x0C, 0}, {0x14, 1}, {0x1C, 2},
                                       {0x24, 3}, {0x28, 4}, {0x2C, 5}};

constexpr uint8_t kReadableItems[] = {1, 2, 4, 8, 16};  // FPGA, firmware, MAC, IP, DHCP
constexpr uint8_t kWritableItems[] = {4, 8, 16};        // MAC, IP, DHCP
constexpr uint8_t kItemMac = 4;

// Bits 0 and 7 of every byte of a packed counter field are 0.
constexpr uint32_t kPackedSpareBits = 0x81818181;
// data1 of the 6-byte counter: group 4 (6 bits) and group 5 (2 bits), each shifted left by one.
constexpr uint32_t kPacked6HighBits = 0x0000067E;

const RegisterPort* FindRegister(uint8_t address) {
    for (const RegisterPort& r : kRegisterPorts)
        if (r.address == address) return &r;
    return nullptr;
}

const CounterPort* FindCounter(const CounterPort* begin, const CounterPort* end, uint8_t address) {
    for (const CounterPort* c = begin; c != end; ++c)
        if (c->address == address) return c;
    return nullptr;
}

template <size_t N>
bool Contains(const uint8_t (&items)[N], uint8_t item) {
    for (uint8_t i : items)
        if (i == item) return true;
    return false;
}

std::string Format(const char* format, unsigned a, unsigned b = 0) {
    char text[96];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

std::string CheckRegister(bool read, uint8_t address, uint8_t width, uint32_t data0,
                          uint32_t data1) {
    const RegisterPort* r = FindRegister(address);
    if (r == nullptr) return Format("no register 0x%02X", address);
    if (width != r->width) return Format("width %u for register 0x%02X", width, address);
    if (read && data0 != 0) return "data0 not 0 in a read";
    // The clock registers are written a byte at a time; the other registers latch the low
    // byte(s) of data0.
    if (!read && (address == 0x06 || address == 0x07) && data0 > 0xFF)
        return Format("clock register 0x%02X written with 0x%X", address, data0);
    if (data1 != 0) return "data1 not 0";
    return "";
}

std::string CheckCounter(bool read, uint8_t address, uint8_t width, uint32_t data0,
                         uint32_t data1) {
    const CounterPort* c =
        read ? FindCounter(std::begin(kReadCounterPorts), std::end(kReadCounterPorts), address)
             : FindCounter(std::begin(kWriteCounterPorts), std::end(kWriteCounterPorts), address);
    if (c == nullptr) return Format(read ? "no read counter 0x%02X" : "no counter 0x%02X", address);
    if (width != c->width) return Format("width %u for counter 0x%02X", width, address);
    if (read) {
        if (data0 != 0) return "data0 not 0 in a read";
        if (data1 != 0) return "data1 not 0";
        return "";
    }
    switch (c->form) {
        case CounterForm::kPacked:
        case CounterForm::kPacked6:
            if ((data0 & kPackedSpareBits) != 0)
                return Format("counter 0x%02X value 0x%08X not in packed form", address, data0);
            break;
        case CounterForm::kLow24:
            if (data0 > 0xFFFFFF)
                return Format("counter 0x%02X value 0x%X over 24 bits", address, data0);
            break;
    }
    const uint32_t data1Bits = c->form == CounterForm::kPacked6 ? kPacked6HighBits : 0;
    if ((data1 & ~data1Bits) != 0) return Format("counter 0x%02X data1 0x%X", address, data1);
    return "";
}

std::string CheckMemory(const uint8_t* p, bool read, uint8_t address, uint8_t width, uint32_t data0,
                        uint32_t data1) {
    if (MemoryOfSelectCode(address) < 0) return Format("no memory select code 0x%02X", address);
    if (width != 0) return Format("width %u in a memory header", width);
    if (read && data0 > kLanMaxReadPiece)
        return Format("memory read of %u bytes, more than %u in one piece", data0,
                      kLanMaxReadPiece);
    if (!read && data0 > kLanMaxWriteBlock)
        return Format("memory write of %u bytes, more than any memory", data0);
    if (data1 != 0) return "data1 not 0";
    if (LoadU32(p + 12) != 0) return "memory header bytes 12-15 not 0";
    return "";
}

std::string CheckConfig(bool read, uint8_t address, uint8_t width, uint32_t data0, uint32_t data1) {
    if (!(read ? Contains(kReadableItems, address) : Contains(kWritableItems, address)))
        return Format(read ? "no readable item %u" : "no writable item %u", address);
    if (width != 0) return Format("width %u in a configuration packet", width);
    if (read && data0 != 0) return "data0 not 0 in a read";
    if (data1 != 0 && (read || address != kItemMac)) return "data1 not 0";
    return "";
}

}  // namespace

size_t LanRequestSize(uint16_t opcode) {
    return opcode == kLanReadMemory || opcode == kLanWriteMemory ? kLanMemoryHeaderSize
                                                                 : kLanPacketSize;
}

size_t LanReplyLength(const uint8_t* p) {
    switch (LoadU16(p)) {
        case kLanReadRegister:
        case kLanReadCounter:
        case kLanReadConfig:
        case kLanImage:
            return kLanPacketSize;
        case kLanReadMemory:
            return LoadU32(p + 4);
        default:
            return 0;
    }
}

size_t LanDataLength(const uint8_t* p) {
    const uint16_t opcode = LoadU16(p);
    return opcode == kLanWriteMemory || opcode == kLanImage ? LoadU32(p + 4) : 0;
}

std::string LanProtocolError(const uint8_t* p) {
    const uint16_t opcode = LoadU16(p);
    const uint8_t address = p[2];
    const uint8_t width = p[3];
    const uint32_t data0 = LoadU32(p + 4);
    const uint32_t data1 = LoadU32(p + 8);
    switch (opcode) {
        case kLanReadRegister:
        case kLanWriteRegister:
            return CheckRegister(opcode == kLanReadRegister, address, width, data0, data1);
        case kLanReadCounter:
        case kLanWriteCounter:
            return CheckCounter(opcode == kLanReadCounter, address, width, data0, data1);
        case kLanReadMemory:
        case kLanWriteMemory:
            return CheckMemory(p, opcode == kLanReadMemory, address, width, data0, data1);
        case kLanReadConfig:
        case kLanWriteConfig:
            return CheckConfig(opcode == kLanReadConfig, address, width, data0, data1);
        case kLanImage:
            // The kind is a u16: the byte after it is 0. Bytes 8-11 (checksum and the two
            // caller bytes) may hold anything.
            if (address != kImageFpga && address != kImageFirmware)
                return Format("no image kind %u", address);
            if (width != 0) return Format("image kind high byte %u", width);
            if (data0 > kLanMaxImage) return Format("image of %u bytes", data0);
            return "";
        case 0:
            if (address == 0 && width == 0 && data0 == 0 && data1 == 0) return "";
            return "opcode 0 with fields set";
        default:
            return Format("no opcode 0x%04X", opcode);
    }
}

int MemoryOfSelectCode(uint8_t code) {
    for (const SelectCode& s : kSelectCodes)
        if (s.code == code) return s.memory;
    return -1;
}

int CounterOfAddress(uint8_t address) {
    const CounterPort* c =
        FindCounter(std::begin(kWriteCounterPorts), std::end(kWriteCounterPorts), address);
    return c ? c->counter : -1;
}

uint32_t CounterValueOfWrite(uint8_t address, uint32_t data0, uint32_t data1) {
    // Byte k of the packed field holds bits 6k to 6k+5 of the value in its bits 1 to 6.
    const auto unpack = [](uint32_t field, unsigned groups) {
        uint32_t value = 0;
        for (unsigned k = 0; k < groups; ++k)
            value |= ((field >> (8 * k + 1)) & 0x3Fu) << (6 * k);
        return value;
    };
    const CounterPort* c =
        FindCounter(std::begin(kWriteCounterPorts), std::end(kWriteCounterPorts), address);
    if (c == nullptr) return 0;
    switch (c->form) {
        case CounterForm::kPacked:
            return unpack(data0, 4);
        case CounterForm::kLow24:
            return data0 & 0xFFFFFF;
        case CounterForm::kPacked6:
            return unpack(data0, 4) | (unpack(data1, 2) << 24);
    }
    return 0;
}

const char* LanOpcodeName(uint16_t opcode) {
    switch (opcode) {
        case kLanReadRegister:
            return "read register";
        case kLanWriteRegister:
            return "write register";
        case kLanReadCounter:
            return "read counter";
        case kLanWriteCounter:
            return "write counter";
        case kLanReadMemory:
            return "read memory";
        case kLanWriteMemory:
            return "write memory";
        case kLanReadConfig:
            return "read config";
        case kLanWriteConfig:
            return "write config";
        case kLanImage:
            return "image";
        case 0:
            return "empty packet";
        default:
            return "unknown opcode";
    }
}

}  // namespace zpx::emu

namespace zpx::emu {

RequestTarget LanRequestTarget(const uint8_t* p) {
    switch (LoadU16(p)) {
        case kLanReadRegister:
            return {RequestKind::kReadRegister, p[2]};
        case kLanWriteRegister:
            return {RequestKind::kWriteRegister, p[2]};
        case kLanReadCounter:
            return {RequestKind::kReadCounter, -1};
        case kLanWriteCounter:
            return {RequestKind::kWriteCounter, -1};
        case kLanReadMemory:
            return {RequestKind::kReadMemory, -1};
        case kLanWriteMemory:
            return {RequestKind::kWriteMemory, -1};
        case kLanReadConfig:
            return {RequestKind::kReadItem, -1};
        case kLanWriteConfig:
            return {RequestKind::kWriteItem, -1};
        case kLanImage:
            return {RequestKind::kImage, -1};
        default:
            return {};
    }
}

}  // namespace zpx::emu
