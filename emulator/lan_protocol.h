// The controller's side of the Ethernet protocol: what each request looks like on the wire and
// which field values a controller takes.
//
// Every request starts with a 12-byte packet: u16 opcode, u8 address, u8 width, u32 data0,
// u32 data1, little-endian. Memory requests add four bytes (a 16-byte header), memory writes and
// images are followed by their data. The stream has no framing of its own, so a controller that
// meets a request it cannot take has no way to find the start of the next one: it refuses the
// request and ends the connection, which the host sees at once as a failed request.
//
// The USB driver of the 51x4 family carries the configuration packets of this protocol
// unchanged, so its stand-in checks them here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "faults.h"

namespace zpx::emu {

inline constexpr size_t kLanPacketSize = 12;
inline constexpr size_t kLanMemoryHeaderSize = 16;

inline constexpr uint16_t kLanReadRegister = 0x0001;
inline constexpr uint16_t kLanWriteRegister = 0x0002;
inline constexpr uint16_t kLanReadCounter = 0x0004;
inline constexpr uint16_t kLanWriteCounter = 0x0008;
inline constexpr uint16_t kLanReadMemory = 0x0010;
inline constexpr uint16_t kLanWriteMemory = 0x0020;
inline constexpr uint16_t kLanReadConfig = 0x2000;
inline constexpr uint16_t kLanWriteConfig = 0x4000;
inline constexpr uint16_t kLanImage = 0x8000;

// The host reads a memory in pieces into an area of this size and never asks for more in one
// header; the controller serves no larger piece.
inline constexpr uint32_t kLanMaxReadPiece = 8192;
// A write header announces the whole block. No controller has a memory larger than 16 MiB, so a
// longer block is not one this controller could take.
inline constexpr uint32_t kLanMaxWriteBlock = 16u << 20;
// Longer than any firmware or FPGA image: a length beyond it is not an image.
inline constexpr uint32_t kLanMaxImage = 64u << 20;

// Image kinds in the address byte of an image header.
inline constexpr uint8_t kImageFpga = 1;
inline constexpr uint8_t kImageFirmware = 2;

// Bytes of the request that starts with `opcode`: 16 for the memory requests, else 12.
size_t LanRequestSize(uint16_t opcode);

// The reply length the protocol has for the request that starts at `p` (kLanPacketSize bytes).
size_t LanReplyLength(const uint8_t* p);
// The data bytes that follow the request at `p` (a memory write's block, an image).
size_t LanDataLength(const uint8_t* p);

// Why the request at `p` (LanRequestSize of its opcode bytes) is not one this controller takes,
// or "" when every field is as the protocol has it. The all-zero packet is taken: it is what the
// host sends for a counter that has no address here, and the controller ignores it.
std::string LanProtocolError(const uint8_t* p);

// Memory index (0 to 5) behind the select code of a memory header, or -1.
int MemoryOfSelectCode(uint8_t code);

// The counter (0-3 address counters, 4 immediate, 5 further) behind the address of a counter
// packet, or -1; reads and writes use the same addresses where they share a counter.
int CounterOfAddress(uint8_t address);

// The counter value carried by a write-counter packet whose fields LanProtocolError accepted.
uint32_t CounterValueOfWrite(uint8_t address, uint32_t data0, uint32_t data1);

const char* LanOpcodeName(uint16_t opcode);

// What the request at `p` does, for faults aimed at a kind of request.
RequestTarget LanRequestTarget(const uint8_t* p);

}  // namespace zpx::emu
