// Network settings and images of the 51x4-family controllers that keep them: configuration
// items travel as 12-byte packets (opcode 0x4000 to write, 0x2000 to read, the item in the
// address byte, width 0), an image behind a 12-byte header that the controller answers with its
// status. Over Ethernet they are LanPackets on the session's connection; a USB driver carries the
// same packets in requests of its own.
#pragma once

#include <cstdint>

#include "transport/lan_link.h"

namespace zpx::transport {

enum ConfigItem : uint8_t {
    kItemFpgaVersion = 1,
    kItemFirmwareVersion = 2,
    kItemMacAddress = 4,
    kItemIpAddress = 8,
    kItemDhcp = 16,
};

enum ImageKind : uint16_t { kImageFpga = 1, kImageFirmware = 2 };

// CRC-16 (polynomial 0x1021, initial 0, no reflection, no final XOR) over the image's whole 32-bit
// words only, each read little-endian and fed most significant nibble first.
uint16_t ImageCrc(const uint8_t* image, uint32_t length);

// The 12-byte image header: 0x8000, the kind, the length, the CRC, the two caller bytes.
LanPacket ImageHeader(ImageKind kind, uint32_t length, uint16_t crc, uint8_t first, uint8_t second);

}  // namespace zpx::transport
