// The requests the kernel drivers answer, gathered in one place. Every code is composed as
// (device type 0x9C40 << 16) | (read access << 14) | (function << 2) | buffered method.
#pragma once

#include <cstdint>

namespace zpx::transport {

constexpr uint32_t DriverRequestCode(uint32_t function) {
    return (0x9C40u << 16) | (1u << 14) | (function << 2);
}

inline constexpr uint32_t kRequestSetAddress = DriverRequestCode(0x900);
inline constexpr uint32_t kRequestRegisterRead = DriverRequestCode(0x901);
inline constexpr uint32_t kRequestRegisterWrite = DriverRequestCode(0x902);
inline constexpr uint32_t kRequestWriteImmAddr = DriverRequestCode(0x903);
inline constexpr uint32_t kRequestReadImmAddr = DriverRequestCode(0x904);
inline constexpr uint32_t kRequestMemoryWrite = DriverRequestCode(0x906);
inline constexpr uint32_t kRequestMemoryRead = DriverRequestCode(0x907);
inline constexpr uint32_t kPodSenseQuery = DriverRequestCode(0x909);
inline constexpr uint32_t kRequestCounterWrite = DriverRequestCode(0x90C);
inline constexpr uint32_t kRequestCounterRead = DriverRequestCode(0x90D);
inline constexpr uint32_t kStatusRegisterQuery = DriverRequestCode(0x90F);
inline constexpr uint32_t kRequestConfigWrite = DriverRequestCode(0x910);
inline constexpr uint32_t kRequestConfigRead = DriverRequestCode(0x911);
inline constexpr uint32_t kRequestImagePiece = DriverRequestCode(0x912);
inline constexpr uint32_t kDriverIdQuery = DriverRequestCode(0x91E);

static_assert(kRequestRegisterRead == 0x9C406404u);
static_assert(kDriverIdQuery == 0x9C406478u);

}  // namespace zpx::transport
