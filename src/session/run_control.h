// Run control, modes, status, errors, TAP enables, learn mode, button and the continuous-mode
// counter: registers 0 to 4, changed on the session's copies and written whole.
#pragma once

#include <cstdint>

#include "core/result.h"
#include "device/controller_session.h"

namespace zpx {

// A field of a register whose session copy is changed and then written whole.
struct RegisterField {
    uint32_t reg;
    uint32_t ControllerSession::*copy;
    uint32_t mask;
};

// Register 0: the run bits and the modes.
inline constexpr RegisterField kRunBits{transport::kControlRegister,
                                        &ControllerSession::controlCopy, 0x03};
inline constexpr RegisterField kRunMode{transport::kControlRegister,
                                        &ControllerSession::controlCopy, 0x0C};
inline constexpr RegisterField kRepeaterMode{transport::kControlRegister,
                                             &ControllerSession::controlCopy, 0x30};
inline constexpr RegisterField kImmMode{transport::kControlRegister,
                                        &ControllerSession::controlCopy, 0xC0};
// Register 1: the error bits (cleared as the caller's mask says) and the VPP mode.
constexpr RegisterField ErrorBits(uint32_t mask) {
    return {transport::kErrorRegister, &ControllerSession::register1Copy, mask};
}
inline constexpr RegisterField kVppMode{transport::kErrorRegister,
                                        &ControllerSession::register1Copy, 0xC0};
// Register 2: the TAP enables, learn mode, the continuous-mode counter bit and the button.
inline constexpr RegisterField kTapEnables{transport::kPodRegister,
                                           &ControllerSession::register2Copy, 0xF0};
inline constexpr RegisterField kLearnMode{transport::kPodRegister,
                                          &ControllerSession::register2Copy, 0x04};
inline constexpr RegisterField kCountContinuous{transport::kPodRegister,
                                                &ControllerSession::register2Copy, 0x02};
inline constexpr RegisterField kButton{transport::kPodRegister, &ControllerSession::register2Copy,
                                       0x01};

// Replaces the field's bits in the copy with those of `value` and writes the whole copy.
Result WriteField(ControllerSession& s, const RegisterField& field, uint32_t value);
// Reads register 2 into lastRegister2 and stores the bits of the field.
Result ReadPodRegisterField(ControllerSession& s, const RegisterField& field, uint32_t* value);

// Sets the run bits once reset, voltages, pod power and clock have settled.
Result StartController(ControllerSession& s);
// Selects `image` and pulses the boot bit of register 0.
Result BootController(ControllerSession& s, uint32_t image);
// The run bits of register 0 in *running. A controller read twice as stopped arms the stopped
// settle, gives its last periods time, and its copy of the run bits is cleared.
Result ReadControllerStatus(ControllerSession& s, uint32_t* running);
// Register 1, kept in lastError.
Result ReadErrorRegister(ControllerSession& s, uint32_t* error);

}  // namespace zpx
