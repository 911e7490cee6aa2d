#include "transport/lan_config.h"

#include "session/session.h"
#include "transport/backend.h"

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

bool CarriesConfiguration(const ControllerSession& s) {
    return s.backend && s.backend->CarriesConfiguration();
}

Result ConfigWrite(ControllerSession& s, ConfigItem item, uint32_t data0, uint32_t data1) {
    if (!s.backend) return kFail;
    return s.backend->ConfigWrite(LanPacket::Make(kLanWriteConfig, item, 0, data0, data1));
}

Result ConfigRead(ControllerSession& s, ConfigItem item, uint32_t* data0, uint32_t* data1) {
    if (!s.backend) return kFail;
    LanPacket packet = LanPacket::Make(kLanReadConfig, item, 0, 0, 0);
    if (s.backend->ConfigRead(packet).failed()) return kFail;
    *data0 = packet.data0();
    *data1 = packet.data1();
    return kOk;
}

uint32_t FirmwareUpload(ControllerSession& s, ImageKind kind, uint32_t length, uint8_t first,
                        uint8_t second, const uint8_t* image) {
    if (!s.backend) return kFail.value();
    LanPacket header = ImageHeader(kind, length, ImageCrc(image, length), first, second);
    return s.backend->UploadImage(s, header, image, length);
}

}  // namespace zpx::transport
