// Device information records: a caller-owned description of a controller and its pod (the
// controller kind, the pod kind, which TAPs are present, memory sizes, clock and voltage ranges).
#pragma once

#include <cstdint>

#include "core/result.h"
#include "zpx/zpx.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::target {

// A new record with the controller part filled; *record set only on success.
Result CreateDeviceInfo(ControllerSession& s, ZPX_DeviceInfo** record);
// Fills the pod part: PodKind, the TAP states and the voltage ranges.
Result ExtractDeviceInfo(ControllerSession& s, ZPX_DeviceInfo& info);
// Releases a record made by CreateDeviceInfo; fails, releasing nothing, for a record that is not
// one, or no longer one.
Result DestroyDeviceInfo(ZPX_DeviceInfo* info);

// PodKind from register 3 (51x4 family) or the driver's pod sense (5120 family).
Result DetectPodKind(ControllerSession& s, ZPX_DeviceInfo& info);
// TapState from the pod link; a TAP that cannot be read counts as absent.
void FillTapStates(ControllerSession& s, ZPX_DeviceInfo& info);

}  // namespace zpx::target
