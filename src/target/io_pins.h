// The four I/O pins of each TAP (a data bit and a control bit per pin), per TAP from the
// session's TAP types or for several TAPs from a DeviceInfo record, and the TAP parallel mode in
// which register 2 carries four signals to a TAP directly. TAP numbers are 1 to 4.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "zpx/zpx.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::target {

// kInvalid: no TAP types for this number, or the frame failed; kFailed: a TAP that takes no pin
// frames.
Outcome SetTapIoPins(ControllerSession& s, uint32_t tap, uint32_t data, uint32_t control);
Outcome GetTapIoPins(ControllerSession& s, uint32_t tap, uint32_t* data, uint32_t* control);
// The control bits of the pins in `mask` as they were, in *result; those pins then take the
// given data and control bits, the others keep theirs. kInvalid: a TAP number outside 1 to 4 or
// without TAP types; kNotAvailable: a TAP that takes no pin frames; kFailed: the frame failed.
Outcome RWTapIoPins(ControllerSession& s, int32_t tap, uint32_t mask, uint32_t data,
                    uint32_t control, uint32_t* result);
// Nibble i of data and control for TAP index i. kNotAvailable: the record's pod has no such
// TAPs; kInvalid: a frame failed.
Outcome SetIoPins(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tapMask, uint32_t data,
                  uint32_t control);
Outcome GetIoPins(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tapMask,
                  uint32_t* data, uint32_t* control);
// kNotAvailable: a pod without parallel mode; kInvalid: a TAP number outside 1 to 4; kFailed: a
// register access failed.
Outcome EnableTapParallelMode(ControllerSession& s, uint32_t tap);
Outcome DisableTapParallelMode(ControllerSession& s, uint32_t tap);
// Writes the low 4 bits of `value` to the TAP in parallel mode and reads its answer bit.
Outcome WriteTapParallelMode(ControllerSession& s, uint32_t value, uint32_t* bit);

}  // namespace zpx::target
