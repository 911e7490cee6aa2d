// Run control, modes, status, errors, TAP enables, learn mode, button and the continuous-mode
// counter: registers 0 to 4, changed on the session's copies and written whole.
#include "core/status.h"
#include "device/access.h"
#include "device/settle.h"
#include "platform/platform.h"
#include "session/call_frame.h"

using namespace zpx;
using namespace zpx::transport;
using namespace zpx::device;

namespace {

constexpr uint32_t kRunBits = 0x03;

// Replaces the bits of `mask` in `copy` with those of `value` and writes the whole copy.
uint32_t WriteMasked(ControllerSession& s, uint32_t reg, uint32_t& copy, uint32_t mask,
                     uint32_t value) {
    copy = (copy & ~mask) | (value & mask);
    return WriteRegister(s, reg, copy).failed() ? kStatusInvalid : kStatusOk;
}

// Reads register 2 into lastRegister2 and stores the bits of `mask`.
uint32_t ReadPodRegisterBits(ControllerSession& s, uint32_t mask, uint32_t* out) {
    if (ReadRegister(s, kPodRegister, &s.lastRegister2).failed()) return kStatusInvalid;
    *out = s.lastRegister2 & mask;
    return kStatusOk;
}

}  // namespace

extern "C" {

ZPX_API uint32_t ZPX_StartController(ZPX_Handle handle) {
    return CallFrame(handle, [](ControllerSession& s) {
        s.controlCopy |= kRunBits;
        // The controller must not start before reset, voltages, pod power and clock settled.
        for (uint32_t code : {kSettleReset, kSettleTapVoltage, kSettlePodPower, kSettleClock}) {
            (void)AwaitSettle(s, code);
        }
        if (WriteRegister(s, kControlRegister, s.controlCopy).failed()) return kStatusInvalid;
        (void)ArmSettle(s, kSettleStart);
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_BootController(ZPX_Handle handle, uint32_t image) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (WriteRegister(s, kSelectRegister, image * 8).failed()) return kStatusInvalid;
        for (uint32_t value : {0u, 2u, 0u}) {
            if (WriteRegister(s, kControlRegister, value).failed()) return kStatusInvalid;
        }
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_StopController(ZPX_Handle handle) {
    return CallFrame(handle, [](ControllerSession& s) {
        return WriteMasked(s, kControlRegister, s.controlCopy, kRunBits, 0);
    });
}

ZPX_API uint32_t ZPX_GetControllerStatus(ZPX_Handle handle, uint32_t* running) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (running == nullptr) return kStatusInvalid;
        (void)AwaitSettle(s, kSettleStart);
        if (ReadRegister(s, kControlRegister, &s.lastStatus).failed()) return kStatusInvalid;
        if ((s.lastStatus & kRunBits) == 0) {
            // Read twice before taking the controller as stopped.
            if (ReadRegister(s, kControlRegister, &s.lastStatus).failed()) return kStatusInvalid;
            if ((s.lastStatus & kRunBits) == 0) {
                (void)ArmSettle(s, kSettleStopped);
                platform::Use<platform::Clock>().DelayDirect(2 * ClockPeriodMicros(s.tckKhz) + 32);
                s.controlCopy &= ~kRunBits;
            }
        }
        *running = s.lastStatus & kRunBits;
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_SetRunMode(ZPX_Handle handle, uint32_t mode) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return WriteMasked(s, kControlRegister, s.controlCopy, 0x0C, mode);
    });
}

ZPX_API uint32_t ZPX_SetRepeaterMode(ZPX_Handle handle, uint32_t mode) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return WriteMasked(s, kControlRegister, s.controlCopy, 0x30, mode);
    });
}

ZPX_API uint32_t ZPX_SetImmMode(ZPX_Handle handle, uint32_t mode) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return WriteMasked(s, kControlRegister, s.controlCopy, 0xC0, mode);
    });
}

ZPX_API uint32_t ZPX_ClearError(ZPX_Handle handle, uint32_t mask) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return WriteMasked(s, kErrorRegister, s.register1Copy, mask, 0);
    });
}

ZPX_API uint32_t ZPX_GetError(ZPX_Handle handle, uint32_t* error) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (error == nullptr) return kStatusInvalid;
        if (ReadRegister(s, kErrorRegister, &s.lastError).failed()) return kStatusInvalid;
        *error = s.lastError;
        return kStatusOk;
    });
}

ZPX_API uint32_t ZPX_SetVPPMode(ZPX_Handle handle, uint32_t mode) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return WriteMasked(s, kErrorRegister, s.register1Copy, 0xC0, mode);
    });
}

ZPX_API uint32_t ZPX_SetTapEnable(ZPX_Handle handle, uint32_t mask) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return WriteMasked(s, kPodRegister, s.register2Copy, 0xF0, mask);
    });
}

ZPX_API uint32_t ZPX_GetTapEnable(ZPX_Handle handle, uint32_t* mask) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (mask == nullptr) return kStatusInvalid;
        return ReadPodRegisterBits(s, 0xF0, mask);
    });
}

ZPX_API uint32_t ZPX_SetLearnMode(ZPX_Handle handle, uint32_t on) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return WriteMasked(s, kPodRegister, s.register2Copy, 0x04, on);
    });
}

ZPX_API uint32_t ZPX_GetLearnMode(ZPX_Handle handle, uint32_t* on) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (on == nullptr) return kStatusInvalid;
        return ReadPodRegisterBits(s, 0x04, on);
    });
}

ZPX_API uint32_t ZPX_GetButton(ZPX_Handle handle, uint32_t* pressed) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (pressed == nullptr) return kStatusInvalid;
        return ReadPodRegisterBits(s, 0x01, pressed);
    });
}

ZPX_API uint32_t ZPX_SetCntCounter(ZPX_Handle handle) {
    return CallFrame(handle, [](ControllerSession& s) {
        return WriteMasked(s, kPodRegister, s.register2Copy, 0x02, 0x02);
    });
}

ZPX_API uint32_t ZPX_SetContModeCounter(ZPX_Handle handle, uint32_t count) {
    return CallFrame(handle, [&](ControllerSession& s) {
        return WriteRegisterWord(s, count).failed() ? kStatusInvalid : kStatusOk;
    });
}

ZPX_API uint32_t ZPX_GetContModeCounter(ZPX_Handle handle, uint32_t* count) {
    return CallFrame(handle, [&](ControllerSession& s) {
        if (count == nullptr) return kStatusInvalid;
        return ReadRegisterWord(s, count).failed() ? kStatusInvalid : kStatusOk;
    });
}

}  // extern "C"
