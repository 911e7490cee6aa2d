#include "session/run_control.h"

#include "device/access.h"
#include "device/settle.h"
#include "platform/platform.h"

namespace zpx {

using device::kControlRegister;
using device::kErrorRegister;
using device::kPodRegister;
using device::kSelectRegister;

Result WriteField(ControllerSession& s, const RegisterField& field, uint32_t value) {
    uint32_t& copy = s.*field.copy;
    copy = (copy & ~field.mask) | (value & field.mask);
    return device::WriteRegister(s, field.reg, copy);
}

Result ReadPodRegisterField(ControllerSession& s, const RegisterField& field, uint32_t* value) {
    if (device::ReadRegister(s, kPodRegister, &s.lastRegister2).failed()) return kFail;
    *value = s.lastRegister2 & field.mask;
    return kOk;
}

Result StartController(ControllerSession& s) {
    s.controlCopy |= kRunBits.mask;
    // The controller must not start before reset, voltages, pod power and clock settled.
    for (uint32_t code : {kSettleReset, kSettleTapVoltage, kSettlePodPower, kSettleClock}) {
        AwaitSettle(s, code);
    }
    if (device::WriteRegister(s, kControlRegister, s.controlCopy).failed()) return kFail;
    ArmSettle(s, kSettleStart);
    return kOk;
}

Result BootController(ControllerSession& s, uint32_t image) {
    if (device::WriteRegister(s, kSelectRegister, image * 8).failed()) return kFail;
    for (uint32_t value : {0u, 2u, 0u}) {
        if (device::WriteRegister(s, kControlRegister, value).failed()) return kFail;
    }
    return kOk;
}

Result ReadControllerStatus(ControllerSession& s, uint32_t* running) {
    AwaitSettle(s, kSettleStart);
    if (device::ReadRegister(s, kControlRegister, &s.lastStatus).failed()) return kFail;
    if ((s.lastStatus & kRunBits.mask) == 0) {
        // Read twice before taking the controller as stopped.
        if (device::ReadRegister(s, kControlRegister, &s.lastStatus).failed()) return kFail;
        if ((s.lastStatus & kRunBits.mask) == 0) {
            ArmSettle(s, kSettleStopped);
            platform::Use<platform::Clock>().DelayDirect(2 * ClockPeriodMicros(s.tckKhz) + 32);
            s.controlCopy &= ~kRunBits.mask;
        }
    }
    *running = s.lastStatus & kRunBits.mask;
    return kOk;
}

Result ReadErrorRegister(ControllerSession& s, uint32_t* error) {
    if (device::ReadRegister(s, kErrorRegister, &s.lastError).failed()) return kFail;
    *error = s.lastError;
    return kOk;
}

}  // namespace zpx
