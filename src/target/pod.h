// Pod power, identification and activation, the controller reset with the pod's start-up
// program, and the pod extender.
//
// A pod of the 51x4 family is powered through register 0x0B in two steps (1, then 3), identified
// (the pod kind through register 3, its TAPs through the pod link) and activated (register 2
// bit 0). The results of the operations below are 0 or 1 unless they say otherwise.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "zpx/zpx.h"

namespace zpx {
struct ControllerSession;
}

namespace zpx::target {

// podType values besides the pod kinds 0 to 3.
inline constexpr int32_t kPodUnknown = -2;       // not yet determined
inline constexpr int32_t kPodUnrecognised = -1;  // a pod of a kind this library does not know

// Pods of type 1 to 3 were identified through register 3; they have TAP identification, the
// pod bit of register 1 and the TAP parallel mode.
constexpr bool IsIdentifiedPod(int32_t podType) {
    return podType >= 1 && podType <= 3;
}

// tapTypes bytes besides the TAP identities 0 and 1.
inline constexpr uint8_t kTapFixed = 4;     // one of the four fixed TAPs of a pod of type 0
inline constexpr uint8_t kTapAbsent = 255;  // no TAP answered at this index

// The pod's start-up program, loaded into memory 0 and run by the sequencer.
inline constexpr uint32_t kPodStartupProgramSize = 123;
const uint8_t* PodStartupProgram();

// Waits for the power-up settle, then DetectPodType, register 1, ProbeTapTypes.
Result IdentifyPod(ControllerSession& s);
// Sets podType from register 3 (51x4 family) or the board test and register 3 (5120 family).
Result DetectPodType(ControllerSession& s);
// Replaces tapTypes with four bytes from the pod link; 1 (and no array) for a podType it cannot
// probe.
Result ProbeTapTypes(ControllerSession& s);
// Register 0 written 0, 1, 0; the 500 ms reset settle; the start-up program; the session's pod
// state forgotten.
Result ResetControllerLogic(ControllerSession& s);
// Loads the start-up program into memory 0 and runs it until register 0 reads 0 (10 s at most).
Result RunPodStartupProgram(ControllerSession& s);

// The bodies of the exports of the same names.
Result SetPodPowerOn(ControllerSession& s);
// *state: 1 when a pod of the 51x4 family has no power (nothing else is done), else 0 with the
// pod identified.
Result PodPowered(ControllerSession& s, uint32_t* state);
Result SetPodPowerOff(ControllerSession& s);
Result ActivatePod(ControllerSession& s, uint32_t mode);
Result PodActivated(ControllerSession& s, uint32_t* active);
Result DeActivatePod(ControllerSession& s);
// Powers the pod without a settle timer or identification, and refreshes the record's PodKind.
Result EnablePod(ControllerSession& s, ZPX_DeviceInfo& info, uint32_t mode);
Result DisablePod(ControllerSession& s, const ZPX_DeviceInfo& info);
// Register 2 with bits 0 and 4-7 cleared; the copy stays.
Result SwitchOffBoard(ControllerSession& s);

// The pod extender's mode; kNotAvailable for a pod without one (the getter answers the pods of
// type 0 and 1 with their type), kFailed when the command could not be sent.
Outcome SetPodExtenderMode(ControllerSession& s, uint32_t mode);
Outcome GetPodExtenderMode(ControllerSession& s, uint32_t* mode);

}  // namespace zpx::target
