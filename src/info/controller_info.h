// The controller's information in bulk: the session-owned ControllerInfoRecord, and the
// caller-owned InfoQuery answered from the session (ControllerInfoNew) or from a DeviceInfo
// (ControllerInfo), each with a valid mask per field. Plus the small getters on the pod and its
// TAPs. The functions return the status codes of their exports.
#pragma once

#include <cstdint>

#include "zpx/zpx.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::info {

// Refreshes the session's record (made on first use) and points *record at it.
uint32_t GetControllerInfo(ControllerSession& s, ZPX_ControllerInfoRecord** record);
uint32_t ControllerInfo(ControllerSession& s, const ZPX_DeviceInfo& info, ZPX_InfoQuery& query);
uint32_t ControllerInfoNew(ControllerSession& s, ZPX_InfoQuery& query);

// Stores nothing for a TAP number outside 1 to tapCount.
void GetTapType(const ControllerSession& s, int32_t tap, int32_t* type);
// The two columns of the voltage ranges of TAP index `index`; 10 for an index without a TAP type.
uint32_t GetOutputVoltRange(const ControllerSession& s, int32_t index, int32_t* minimum,
                            int32_t* maximum);
uint32_t GetThresholdVoltRange(const ControllerSession& s, int32_t index, int32_t* minimum,
                               int32_t* maximum);

}  // namespace zpx::info
