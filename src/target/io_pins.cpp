#include "target/io_pins.h"

#include "device/access.h"
#include "device/controller_session.h"
#include "device/settle.h"
#include "target/pod.h"
#include "target/pod_link.h"
#include "target/tap_voltages.h"

namespace zpx::target {

namespace {

constexpr uint32_t kNibble = 0xF;

// The pins are not touched before a reset, a voltage change or the power-up has settled.
void AwaitPinSettles(ControllerSession& s) {
    for (uint32_t code : {kSettleReset, kSettleTapVoltage, kSettlePodPower}) {
        AwaitSettle(s, code);
    }
}

// The TAP type check of the per-TAP operations: kInvalid without TAP types for this number,
// `wrongType` for a TAP that takes no pin frames.
Outcome CheckTapType(const ControllerSession& s, uint32_t index, Reason wrongType) {
    if (!s.tapTypes || index >= s.tapCount) return Reason::kInvalid;
    const int32_t type = TapTypeOf(s, index);
    return type == 0 || type == 1 ? kDone : Outcome(wrongType);
}

// A three-bit command on the TAP's link, after the base and the link's pause when `opening`,
// closed with `close`.
Outcome ParallelModeCommand(ControllerSession& s, uint32_t tap, uint32_t command, bool opening,
                            uint32_t close) {
    if (!IsIdentifiedPod(s.podType)) return Reason::kNotAvailable;
    if (tap < 1 || tap > kTapCount) return Reason::kInvalid;
    LinkFrame frame(s, tap - 1);
    if (opening && (frame.WriteBase().failed() || frame.Pause(kLinkSettleMs).failed())) {
        return Reason::kFailed;
    }
    if (frame.SendBits(command, 3).failed() || frame.Write(close).failed() ||
        frame.Finish().failed()) {
        return Reason::kFailed;
    }
    return kDone;
}

}  // namespace

Outcome SetTapIoPins(ControllerSession& s, uint32_t tap, uint32_t data, uint32_t control) {
    AwaitPinSettles(s);
    const uint32_t index = tap - 1;
    if (const Outcome checked = CheckTapType(s, index, Reason::kFailed); checked.failed()) {
        return checked;
    }
    return Outcome::Of(WriteTapIoPins(s, index, data & kNibble, control & kNibble),
                       Reason::kInvalid);
}

Outcome GetTapIoPins(ControllerSession& s, uint32_t tap, uint32_t* data, uint32_t* control) {
    AwaitPinSettles(s);
    const uint32_t index = tap - 1;
    if (const Outcome checked = CheckTapType(s, index, Reason::kFailed); checked.failed()) {
        return checked;
    }
    TapPins pins{};
    if (ReadTapIoPins(s, index, &pins).failed()) return Reason::kInvalid;
    *data = pins.data;
    *control = pins.control;
    return kDone;
}

Outcome RWTapIoPins(ControllerSession& s, int32_t tap, uint32_t mask, uint32_t data,
                    uint32_t control, uint32_t* result) {
    if (tap < 1 || tap > static_cast<int32_t>(kTapCount)) return Reason::kInvalid;
    AwaitPinSettles(s);
    const uint32_t index = static_cast<uint32_t>(tap - 1);
    if (const Outcome checked = CheckTapType(s, index, Reason::kNotAvailable); checked.failed()) {
        return checked;
    }
    // The word of the link: bits 2-5 the data pins (inverted on the link), bits 6-9 the control
    // pins. The mask covers both bits of each selected pin.
    const uint32_t m = mask & kNibble;
    const uint32_t maskWord = (m * 16 + m) * 4;
    const uint32_t dataWord = ((control & kNibble) * 16 + (~data & kNibble)) * 4;
    uint32_t readBack = 0;
    if (ExchangeTapIoPins(s, index, maskWord, dataWord, &readBack).failed()) {
        return Reason::kFailed;
    }
    *result = (readBack >> 6) & mask & kNibble;
    return kDone;
}

Outcome SetIoPins(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tapMask, uint32_t data,
                  uint32_t control) {
    if (info.PodKind != 1) return Reason::kNotAvailable;
    for (uint32_t i = 0; i < kTapCount; ++i) {
        if (((tapMask >> i) & 1) == 0 || info.TapState[i] != 0) continue;
        if (WriteTapIoPins(s, i, (data >> (4 * i)) & kNibble, (control >> (4 * i)) & kNibble)
                .failed()) {
            return Reason::kInvalid;
        }
    }
    return kDone;
}

Outcome GetIoPins(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tapMask,
                  uint32_t* data, uint32_t* control) {
    if (info.PodKind != 1) return Reason::kNotAvailable;
    *data = 0;
    *control = 0;
    for (uint32_t i = 0; i < kTapCount; ++i) {
        if (((tapMask >> i) & 1) == 0 || info.TapState[i] != 0) continue;
        TapPins pins{};
        // The TAPs read before a failure stay in the outputs.
        if (ReadTapIoPins(s, i, &pins).failed()) return Reason::kInvalid;
        *data |= pins.data << (4 * i);
        *control |= pins.control << (4 * i);
    }
    return kDone;
}

Outcome EnableTapParallelMode(ControllerSession& s, uint32_t tap) {
    constexpr uint32_t kParallelOn = 0b101;
    return ParallelModeCommand(s, tap, kParallelOn, true, kLinkActive);
}

Outcome DisableTapParallelMode(ControllerSession& s, uint32_t tap) {
    // The command follows the TAP's parallel signals directly: no base write and no pause.
    constexpr uint32_t kParallelOff = 0b000;
    return ParallelModeCommand(s, tap, kParallelOff, false, s.register2Copy);
}

Outcome WriteTapParallelMode(ControllerSession& s, uint32_t value, uint32_t* bit) {
    if (!IsIdentifiedPod(s.podType)) return Reason::kNotAvailable;
    uint32_t answer = 0;
    if (device::WriteRegister(s, device::kPodRegister, (value & kNibble) * 16 + kLinkActive)
            .failed() ||
        device::ReadRegister(s, device::kPodRegister, &answer).failed()) {
        return Reason::kFailed;
    }
    *bit = answer & 1;
    return kDone;
}

}  // namespace zpx::target
