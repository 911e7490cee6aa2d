// Status codes of the exports, as named constants for the library's own code.
#pragma once

#include <cstdint>

#include "zpx/zpx.h"

namespace zpx {

inline constexpr uint32_t kStatusOk = ZPX_STATUS_OK;
inline constexpr uint32_t kStatusFailed = ZPX_STATUS_FAILED;
inline constexpr uint32_t kStatusNullHandle = ZPX_STATUS_NULL_HANDLE;
inline constexpr uint32_t kStatusBusy = ZPX_STATUS_BUSY;
inline constexpr uint32_t kStatusInvalid = ZPX_STATUS_INVALID;
inline constexpr uint32_t kStatusNotAvailable = ZPX_STATUS_NOT_AVAILABLE;
inline constexpr uint32_t kStatusCannotOpen = ZPX_STATUS_CANNOT_OPEN;
inline constexpr uint32_t kStatusOutOfRange = ZPX_STATUS_OUT_OF_RANGE;
inline constexpr uint32_t kStatusLegacyIndex = ZPX_STATUS_LEGACY_INDEX;
inline constexpr uint32_t kStatusNoUsb = ZPX_STATUS_NO_USB;
inline constexpr uint32_t kStatusOsUnsupported = ZPX_STATUS_OS_UNSUPPORTED;
inline constexpr uint32_t kStatusDeviceBusy = ZPX_STATUS_DEVICE_BUSY;

}  // namespace zpx
