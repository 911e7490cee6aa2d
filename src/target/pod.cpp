#include "target/pod.h"

#include <memory>

#include "device/access.h"
#include "device/controller_session.h"
#include "device/identity.h"
#include "device/settle.h"
#include "platform/platform.h"
#include "target/device_info.h"
#include "target/pod_link.h"
#include "transport/counters.h"
#include "transport/memory.h"

namespace zpx::target {

using device::ReadRegister;
using device::WriteRegister;
using transport::kControlRegister;
using transport::kErrorRegister;
using transport::kPodPowerRegister;
using transport::kPodRegister;
using transport::kSelectRegister;

namespace {

// Register 0x0B (its state bits in pod_link.h).
constexpr uint32_t kPowerOff = 0;
constexpr uint32_t kPowerFirstStep = 1;
constexpr uint32_t kPowerPodBit = 0x80;  // mirrored into bit 5 of register 1
// Register 1 bit 5: a pod of type 1 to 3 (on a pod of type 0 the TAP voltage choice).
constexpr uint32_t kRegister1Pod = 0x20;
// SwitchOffBoard keeps bits 1-3 of register 2.
constexpr uint32_t kSwitchOffKeeps = 0x0E;
// Register 0: the reset sequence and the start of the sequencer.
constexpr uint32_t kControlStart = 0x03;
constexpr uint32_t kPodKindBits = 0x03;  // register 3 at select 0

constexpr uint32_t kPowerStepMs = 400;
constexpr uint32_t kResetPauseMs = 200;
constexpr uint32_t kSlowClockKhz = 100;
constexpr uint32_t kSlowClockPowerOffMicros = 5000;
constexpr uint32_t kEnableStepMicros = 300000;
constexpr uint32_t kStartupTimeoutMs = 10000;
// A 51x4 controller whose flash code is at least this runs the start-up program itself.
constexpr uint32_t kFlashRunsStartup = 0xB3;

// The start-up program: every byte 0x81 but these.
struct ProgramByte {
    uint32_t offset;
    uint8_t value;
};
constexpr ProgramByte kProgramExceptions[] = {{2, 0xF1},   {3, 0x85},  {17, 0xF3}, {18, 0x85},
                                              {32, 0xB1},  {43, 0xB5}, {54, 0xB3}, {85, 0xB7},
                                              {116, 0xC7}, {117, 0xC7}};
constexpr uint8_t kProgramFill = 0x81;

struct StartupProgram {
    uint8_t bytes[kPodStartupProgramSize];
    constexpr StartupProgram() : bytes() {
        for (uint8_t& b : bytes)
            b = kProgramFill;
        for (const ProgramByte& e : kProgramExceptions)
            bytes[e.offset] = e.value;
    }
};
constexpr StartupProgram kStartupProgram;

bool Is51x4(const ControllerSession& s) {
    return Is51x4Model(s.controllerType);
}

bool HasExtender(int32_t podType) {
    return podType == 2 || podType == 3;
}

Result ReadPower(ControllerSession& s, uint32_t* value) {
    return ReadRegister(s, kPodPowerRegister, value);
}

Result WriteRegister1(ControllerSession& s) {
    return WriteRegister(s, kErrorRegister, s.register1Copy);
}

// The pod kind code of register 3 at select 0; with `select` false the register is read as it is.
Result ReadPodKind(ControllerSession& s, bool select, uint32_t* kind) {
    uint32_t value = 0;
    const Result read =
        select ? device::ReadIdentityByte(s, &value) : ReadRegister(s, kSelectRegister, &value);
    if (read.failed()) return kFail;
    *kind = value & kPodKindBits;
    return kOk;
}

void NewTapTypes(ControllerSession& s) {
    s.tapTypes = std::make_unique<uint8_t[]>(kTapCount);
    s.tapCount = kTapCount;
}

}  // namespace

const uint8_t* PodStartupProgram() {
    return kStartupProgram.bytes;
}

Result IdentifyPod(ControllerSession& s) {
    AwaitSettle(s, kSettlePodPower);
    if (DetectPodType(s).failed()) return kFail;
    if (IsIdentifiedPod(s.podType)) s.register1Copy |= kRegister1Pod;
    if (WriteRegister1(s).failed()) return kFail;
    return ProbeTapTypes(s);
}

Result DetectPodType(ControllerSession& s) {
    if (Is51x4(s)) {
        uint32_t kind = 0;
        if (ReadPodKind(s, true, &kind).failed()) return kFail;
        switch (kind) {
            case 0:
                s.podType = 0;
                break;
            case 2:
                s.podType = 2;
                break;
            case 3:
                // Without a pod the kind reads 3 as well; only a known extender mode 0 tells
                // a pod of type 3.
                s.podType = s.extenderMode == 0 ? 3 : kPodUnrecognised;
                break;
            default:
                if (s.family != kFamily51x4) {
                    s.podType = 1;
                    break;
                }
                // A pod with an extender reports kind 1 while its extender is on: ask again
                // with the extender off.
                s.register1Copy |= kRegister1Pod;
                if (WriteRegister1(s).failed()) return kFail;
                {
                    const int32_t remembered = s.extenderMode;
                    (void)SetExtenderMode(s, 0);  // the kind read below tells what it did
                    if (ReadPodKind(s, false, &kind).failed()) return kFail;
                    if (kind != 0) s.podType = static_cast<int32_t>(kind);
                    (void)SetExtenderMode(s, remembered);  // best effort, as the probe's
                }
                break;
        }
        return kOk;
    }
    if (s.controllerType == 0) {
        uint32_t verdict = 0;
        if (device::ProbeBoard(s, &verdict).failed()) return kFail;
        if (verdict == 0) {
            s.podType = 0;
            return kOk;
        }
        // Some boards cannot tell their pod kind through register 3.
        if (s.backEndRow->podKindFromTaps) return kOk;
        uint32_t kind = 0;
        if (ReadPodKind(s, false, &kind).failed()) return kFail;
        s.podType = kind <= 1 ? static_cast<int32_t>(kind) : kPodUnrecognised;
    }
    return kOk;
}

Result ProbeTapTypes(ControllerSession& s) {
    const int32_t podType = s.podType;
    if (podType == 0) {
        NewTapTypes(s);
        for (uint32_t i = 0; i < kTapCount; ++i)
            s.tapTypes[i] = kTapFixed;
        return kOk;
    }
    if (podType == kPodUnknown || podType == kPodUnrecognised || podType == 1) {
        NewTapTypes(s);
        bool anyTypeZero = false;
        for (uint32_t i = 0; i < kTapCount; ++i) {
            TapPins pins{};
            const bool typeZero = ReadTapIoPins(s, i, &pins).ok() && pins.identity == 0;
            s.tapTypes[i] = typeZero ? 0 : kTapAbsent;
            anyTypeZero = anyTypeZero || typeZero;
        }
        // Boards that cannot tell the pod kind: TAPs that answer make it a pod of type 1.
        if (s.backEndRow->podKindFromTaps && anyTypeZero) s.podType = 1;
        return kOk;
    }
    if (HasExtender(podType)) {
        // The TAPs identify themselves with the extender off.
        const int32_t remembered = s.extenderMode;
        (void)SetExtenderMode(s, 0);  // a TAP that cannot be read counts as absent below
        NewTapTypes(s);
        bool anyTypeZero = false;
        for (uint32_t i = 0; i < kTapCount; ++i) {
            TapPins pins{};
            uint8_t type = kTapAbsent;
            if (ReadTapIoPins(s, i, &pins).ok() && pins.identity <= 1) {
                type = static_cast<uint8_t>(pins.identity);
            }
            s.tapTypes[i] = type;
            anyTypeZero = anyTypeZero || type == 0;
        }
        (void)SetExtenderMode(s, remembered);  // best effort: the types are known either way
        // TAPs of type 0 behind the pod make it a pod of type 1, whose TAPs all count as type 0.
        if (anyTypeZero) {
            s.podType = 1;
            for (uint32_t i = 0; i < kTapCount; ++i) {
                if (s.tapTypes[i] == 1) s.tapTypes[i] = 0;
            }
        }
        return kOk;
    }
    s.tapTypes.reset();
    s.tapCount = 0;
    return kFail;
}

Result ResetControllerLogic(ControllerSession& s) {
    {
        device::HeldWrites held(s);
        uint32_t ignored = 0;
        for (uint32_t value : {0u, 1u, 0u}) {
            if (WriteRegister(s, kControlRegister, value).failed()) return kFail;
        }
        if (ReadRegister(s, kControlRegister, &ignored).failed()) return kFail;
        if (held.Finish().failed()) return kFail;
    }
    ArmSettle(s, kSettleReset);
    platform::Use<platform::Clock>().SleepMs(kResetPauseMs);
    if (RunPodStartupProgram(s).failed()) return kFail;
    // The reset cleared the controller's registers but for the pod bits.
    s.register1Copy &= kRegister1Pod;
    s.register2Copy &= kLinkActive;
    s.controlCopy = 0;
    s.extStatus = 0;
    s.podType = kPodUnknown;
    return kOk;
}

Result RunPodStartupProgram(ControllerSession& s) {
    constexpr uint32_t kProgramCounter = 0;
    constexpr uint32_t kProgramMemory = 0;
    if (device::WriteCounterValue(s, kProgramCounter, 0).failed() ||
        device::WriteMemoryBlock(s, kProgramMemory, kPodStartupProgramSize, PodStartupProgram())
            .failed() ||
        device::WriteCounterValue(s, kProgramCounter, 0).failed() ||
        WriteRegister(s, kControlRegister, kControlStart).failed()) {
        return kFail;
    }
    ArmSettle(s, kSettleStart);
    AwaitSettle(s, kSettleStart);
    platform::Clock& p = platform::Use<platform::Clock>();
    const uint32_t start = p.TickMs();
    for (;;) {
        if (p.TickMs() - start > kStartupTimeoutMs) return kFail;
        p.YieldThread();
        uint32_t control = 0;
        if (ReadRegister(s, kControlRegister, &control).failed()) return kFail;
        if (control == 0) break;
    }
    return device::WriteCounterValue(s, kProgramCounter, 0);
}

Result SetPodPowerOn(ControllerSession& s) {
    if (Is51x4(s)) {
        uint32_t power = 0;
        if (ReadPower(s, &power).failed()) return kFail;
        if ((power & kPowerStateBits) != kPowerOn) {
            // Each step is read back before going on; the values themselves tell nothing new.
            if (WriteRegister(s, kPodPowerRegister, kPowerFirstStep).failed() ||
                ReadPower(s, &power).failed()) {
                return kFail;
            }
            platform::Use<platform::Clock>().SleepMs(kPowerStepMs);
            if (WriteRegister(s, kPodPowerRegister, kPowerOn).failed() ||
                ReadPower(s, &power).failed()) {
                return kFail;
            }
            ArmSettle(s, kSettlePodPower);
        }
    }
    if (IdentifyPod(s).failed()) return kFail;
    if (IsIdentifiedPod(s.podType)) {
        s.register1Copy |= kRegister1Pod;
        (void)WriteRegister1(s);  // the bit is also in the copy, written with register 1 next time
    }
    return kOk;
}

Result PodPowered(ControllerSession& s, uint32_t* state) {
    if (s.controllerType != 0) {
        uint32_t power = 0;
        if (ReadPower(s, &power).failed()) return kFail;
        if ((power & kPowerStateBits) == 0) {
            *state = 1;
            return kOk;
        }
        *state = 0;
        // The copies follow the controller; nothing is written.
        s.register1Copy =
            (s.register1Copy & ~kRegister1Pod) | ((power & kPowerPodBit) != 0 ? kRegister1Pod : 0);
        s.register2Copy =
            (s.register2Copy & ~kLinkActive) | ((power & kPowerPodActive) != 0 ? kLinkActive : 0);
    } else {
        *state = 0;
    }
    return IdentifyPod(s);
}

Result SetPodPowerOff(ControllerSession& s) {
    // At a slow test clock the pod gets a few milliseconds to finish what it was clocking.
    if (s.tckKhz < static_cast<int32_t>(kSlowClockKhz)) {
        platform::Use<platform::Clock>().DelayDirect(kSlowClockPowerOffMicros);
    }
    if (Is51x4(s)) {
        if (WriteRegister(s, kPodPowerRegister, kPowerOff).failed()) return kFail;
        s.podType = kPodUnknown;
        s.extenderMode = 1;
        s.tapTypes.reset();
        s.tapCount = 0;
    }
    s.register1Copy &= ~kRegister1Pod;
    return WriteRegister1(s);
}

Result ActivatePod(ControllerSession& s, uint32_t mode) {
    if (mode == 1 || IsIdentifiedPod(s.podType)) {
        s.register1Copy |= kRegister1Pod;
    } else {
        s.register1Copy &= ~kRegister1Pod;
    }
    if (WriteRegister1(s).failed()) return kFail;
    s.register2Copy |= kLinkActive;
    if (WriteRegister(s, kPodRegister, s.register2Copy).failed()) return kFail;
    if (s.controllerType == 0) {
        if (s.podType == 0) {
            if (ResetControllerLogic(s).failed()) return kFail;
            s.podType = 0;  // the reset forgot it; the pod has not changed
            return kOk;
        }
        return RunPodStartupProgram(s);
    }
    if (Is51x4(s)) {
        uint32_t code = s.flashCode;
        // A flash code that cannot be read leaves the program to the controller.
        if (code == 0 && device::ReadFlashCode(s, &code).failed()) return kOk;
        if (code >= kFlashRunsStartup) return kOk;
        return RunPodStartupProgram(s);
    }
    return kOk;
}

Result PodActivated(ControllerSession& s, uint32_t* active) {
    if (s.controllerType == 0) {
        *active = s.register2Copy & kLinkActive;
        return kOk;
    }
    uint32_t power = 0;
    if (ReadPower(s, &power).failed()) return kFail;
    if ((power & kPowerPodActive) != 0) {
        s.register2Copy |= kLinkActive;
        *active = 1;
    } else {
        *active = 0;
    }
    return kOk;
}

Result DeActivatePod(ControllerSession& s) {
    s.register2Copy = 0;
    return WriteRegister(s, kPodRegister, 0);
}

Result EnablePod(ControllerSession& s, ZPX_DeviceInfo& info, uint32_t mode) {
    if (info.ControllerKind == 0) return kOk;
    if (!Is51x4Model(info.ControllerKind)) return kFail;
    uint32_t power = 0;
    if (ReadPower(s, &power).failed()) return kFail;
    if ((power & kPowerStateBits) == kPowerOn) return kOk;
    if (WriteRegister(s, kPodPowerRegister, kPowerFirstStep).failed()) return kFail;
    platform::Use<platform::Clock>().DelayDirect(kEnableStepMicros);
    const bool podBit = info.PodKind == 1 || info.PodKind == 2;
    s.register1Copy = podBit || mode == 1 ? kRegister1Pod : 0;
    (void)WriteRegister1(s);  // register 1 is written again once the pod is known
    if (WriteRegister(s, kPodPowerRegister, kPowerOn).failed()) return kFail;
    if (DetectPodKind(s, info).failed()) return kFail;
    if ((info.PodKind == 1 || info.PodKind == 2) && mode != 1) {
        s.register1Copy = kRegister1Pod;
        (void)WriteRegister1(s);  // as above: the copy holds the bit
    }
    return kOk;
}

Result DisablePod(ControllerSession& s, const ZPX_DeviceInfo& info) {
    if (!Is51x4Model(info.ControllerKind)) return kOk;
    return WriteRegister(s, kPodPowerRegister, kPowerOff);
}

Result SwitchOffBoard(ControllerSession& s) {
    uint32_t value = 0;
    if (ReadRegister(s, kPodRegister, &value).failed()) return kFail;
    return WriteRegister(s, kPodRegister, value & kSwitchOffKeeps);
}

Outcome SetPodExtenderMode(ControllerSession& s, uint32_t mode) {
    if (!HasExtender(s.podType)) return Reason::kNotAvailable;
    return Outcome::Of(SetExtenderMode(s, static_cast<int32_t>(mode)), Reason::kFailed);
}

Outcome GetPodExtenderMode(ControllerSession& s, uint32_t* mode) {
    switch (s.podType) {
        case 0:
        case 1:
            *mode = static_cast<uint32_t>(s.podType);
            return kDone;
        case 2:
        case 3:
            *mode = static_cast<uint32_t>(s.extenderMode);
            return kDone;
        default:
            return Reason::kNotAvailable;
    }
}

}  // namespace zpx::target
