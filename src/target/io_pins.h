// The four I/O pins of each TAP (a data bit and a control bit per pin), per TAP from the
// session's TAP types or for several TAPs from a DeviceInfo record, and the TAP parallel mode in
// which register 2 carries four signals to a TAP directly. The functions return the status codes
// of their exports; TAP numbers are 1 to 4.
#pragma once

#include <cstdint>

#include "zpx/zpx.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::target {

uint32_t SetTapIoPins(ControllerSession& s, uint32_t tap, uint32_t data, uint32_t control);
uint32_t GetTapIoPins(ControllerSession& s, uint32_t tap, uint32_t* data, uint32_t* control);
// The control bits of the pins in `mask` as they were, in *result; those pins then take the
// given data and control bits, the others keep theirs.
uint32_t RWTapIoPins(ControllerSession& s, int32_t tap, uint32_t mask, uint32_t data,
                     uint32_t control, uint32_t* result);
// Nibble i of data and control for TAP index i.
uint32_t SetIoPins(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tapMask,
                   uint32_t data, uint32_t control);
uint32_t GetIoPins(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tapMask,
                   uint32_t* data, uint32_t* control);
uint32_t EnableTapParallelMode(ControllerSession& s, uint32_t tap);
uint32_t DisableTapParallelMode(ControllerSession& s, uint32_t tap);
// Writes the low 4 bits of `value` to the TAP in parallel mode and reads its answer bit.
uint32_t WriteTapParallelMode(ControllerSession& s, uint32_t value, uint32_t* bit);

}  // namespace zpx::target
