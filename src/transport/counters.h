// The controller's counters: the address counters of the memories (where the next transfer reads
// or writes), the immediate address counter and one further counter.
//
// Writes and reads number the counters differently. Write counters: 0, 1, 2 the address counters
// of memories 0, 1, 2; 3 the one address counter that memories 3, 4 and 5 share; 4 the immediate
// address counter; 5 the further counter. Read counters: 0 the immediate address counter; 1 and 2
// (current drivers and Ethernet only) the counters written as 3 and 5.
#pragma once

#include <cstdint>

namespace zpx::transport {

inline constexpr uint32_t kImmediateWriteCounter = 4;
inline constexpr uint32_t kImmediateReadCounter = 0;
inline constexpr uint32_t kFurtherWriteCounter = 5;

// The Ethernet form of a counter value: 6-bit groups from bit 0 upward, group k shifted left by
// one into byte k, so that bits 0 and 7 of every byte are 0. PackAddressGroups gives bytes 0-3
// (groups 0-3); PackAddressGroupsHigh gives bytes 4 and 5 (groups 4 and 5) in its low half.
constexpr uint32_t PackAddressGroups(uint32_t value) {
    uint32_t packed = 0;
    for (uint32_t k = 0; k < 4; ++k) {
        packed |= ((value >> (6 * k)) & 0x3F) << (8 * k + 1);
    }
    return packed;
}

constexpr uint32_t PackAddressGroupsHigh(uint32_t value) {
    return (((value >> 24) & 0x3F) << 1) | (((value >> 30) & 0x03) << 9);
}

static_assert(PackAddressGroups(0x000001) == 0x00000002);
static_assert(PackAddressGroups(0x123456) == 0x0846222C);
static_assert(PackAddressGroups(0xFFFFFF) == 0x7E7E7E7E);
static_assert(PackAddressGroupsHigh(0xFFFFFFFF) == 0x0000067E);

// The older drivers and the VXI board number the address counters by a select in which 1 and 2
// are exchanged; any counter other than these four (and the immediate one) travels as select 0.
constexpr uint32_t LegacyCounterSelect(uint32_t counter) {
    constexpr uint32_t kSelect[4] = {0, 2, 1, 3};
    return counter < 4 ? kSelect[counter] : 0;
}

}  // namespace zpx::transport
