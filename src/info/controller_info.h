// The controller's information in bulk: the session-owned ControllerInfoRecord, and the
// caller-owned InfoQuery answered from the session (ControllerInfoNew) or from a DeviceInfo
// (ControllerInfo), each with a valid mask per field. Plus the small getters on the pod and its
// TAPs.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "zpx/zpx.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::info {

// Refreshes the session's record (made on first use) and returns it.
ZPX_ControllerInfoRecord* GetControllerInfo(ControllerSession& s);
// Both fail when the pod's power register or the controller's identity cannot be read.
Result ControllerInfo(ControllerSession& s, const ZPX_DeviceInfo& info, ZPX_InfoQuery& query);
Result ControllerInfoNew(ControllerSession& s, ZPX_InfoQuery& query);

// Stores nothing for a TAP number outside 1 to tapCount.
void GetTapType(const ControllerSession& s, int32_t tap, int32_t* type);
// The two columns of the voltage ranges of TAP index `index`; fails for an index without a TAP
// type.
Result GetOutputVoltRange(const ControllerSession& s, int32_t index, int32_t* minimum,
                          int32_t* maximum);
Result GetThresholdVoltRange(const ControllerSession& s, int32_t index, int32_t* minimum,
                             int32_t* maximum);

}  // namespace zpx::info
