// Little-endian field access and the checksums the controller computes on its side of the wire.
//
// The emulator decodes everything itself, byte by byte, so that it never shares a misreading of
// the protocol with the library it is there to test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zpx::emu {

inline uint16_t LoadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// CRC-8/MAXIM (reflected 0x8C, initial 0) as the 1-Wire serial ROMs carry it in their last byte.
uint8_t Crc8Maxim(const uint8_t* data, size_t length);

// The checksum of a firmware or FPGA image: CRC-16/XMODEM over the whole 32-bit words of the
// image, each word fed most significant nibble first (trailing bytes are not covered).
uint16_t ImageCrc(const uint8_t* data, size_t length);

}  // namespace zpx::emu
