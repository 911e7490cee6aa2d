#include "wire.h"

namespace zpx::emu {

uint8_t Crc8Maxim(const uint8_t* data, size_t length) {
    uint8_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        uint8_t byte = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((crc ^ byte) & 1) != 0;
            crc = static_cast<uint8_t>(crc >> 1);
            if (mix) crc ^= 0x8C;
            byte = static_cast<uint8_t>(byte >> 1);
        }
    }
    return crc;
}

uint16_t ImageCrc(const uint8_t* data, size_t length) {
    uint32_t crc = 0;
    for (size_t word = 0; word < length / 4; ++word) {
        const uint32_t value = LoadU32(data + word * 4);
        for (int shift = 28; shift >= 0; shift -= 4) {
            const uint32_t t = ((value >> shift) ^ (crc >> 12)) & 0xF;
            crc = ((crc << 4) ^ (t << 12) ^ (t << 5) ^ t) & 0xFFFF;
        }
    }
    return static_cast<uint16_t>(crc);
}

}  // namespace zpx::emu
