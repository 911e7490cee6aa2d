#include "transport/lan_config.h"

#include "core/bytes.h"

namespace zpx::transport {

uint16_t ImageCrc(const uint8_t* image, uint32_t length) {
    uint16_t crc = 0;
    for (uint32_t offset = 0; offset + 4 <= length; offset += 4) {
        const uint32_t word = GetU32(image + offset);
        for (int shift = 28; shift >= 0; shift -= 4) {
            const uint32_t t = ((word >> shift) ^ (crc >> 12)) & 0xF;
            crc = static_cast<uint16_t>((crc << 4) ^ (t << 12) ^ (t << 5) ^ t);
        }
    }
    return crc;
}

LanPacket ImageHeader(ImageKind kind, uint32_t length, uint16_t crc, uint8_t first,
                      uint8_t second) {
    LanPacket header;
    PutU16(header.bytes, kLanImage);
    PutU16(header.bytes + 2, kind);
    PutU32(header.bytes + 4, length);
    PutU16(header.bytes + 8, crc);
    header.bytes[10] = first;
    header.bytes[11] = second;
    return header;
}

}  // namespace zpx::transport
