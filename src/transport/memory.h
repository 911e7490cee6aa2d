// The controller's six memories (test vectors and results), read and written as streams through
// a data port at the position of the memory's address counter, which the controller advances.
//
// The exports number the memories 0 to 5. Every back-end numbers them with 1 and 2 exchanged (the
// select); the Ethernet protocol names each memory's data port by a select code instead.
#pragma once

#include <cstdint>

namespace zpx::transport {

inline constexpr uint32_t kMemoryCount = 6;

// Layout of one driver memory piece: select, 0, byte count, the data, then four bytes that are
// part of the request length but carry nothing.
inline constexpr uint32_t kMemoryRequestDataOffset = 12;
inline constexpr uint32_t kMemoryRequestOverhead = 16;

// A memory number above 5 is passed on unchanged as its own select.
constexpr uint32_t MemorySelect(uint32_t memory) {
    constexpr uint32_t kSelect[kMemoryCount] = {0, 2, 1, 3, 4, 5};
    return memory < kMemoryCount ? kSelect[memory] : memory;
}

// The Ethernet data port of a memory; 0 for a number above 5.
constexpr uint8_t LanMemorySelectCode(uint32_t memory) {
    constexpr uint8_t kCode[kMemoryCount] = {0x0C, 0x14, 0x1C, 0x24, 0x28, 0x2C};
    return memory < kMemoryCount ? kCode[memory] : 0;
}

// The write counter that positions memory 0-5: memories 3, 4 and 5 share counter 3.
constexpr uint32_t AddressCounterOf(uint32_t memory) {
    return memory < 3 ? memory : 3;
}

}  // namespace zpx::transport
