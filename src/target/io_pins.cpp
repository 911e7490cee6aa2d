#include "target/io_pins.h"

#include "core/status.h"
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
        (void)AwaitSettle(s, code);  // slots that exist never fail
    }
}

// The TAP type check of the per-TAP exports: 10 without TAP types for this number, `wrongType`
// for a TAP that takes no pin frames.
uint32_t CheckTapType(const ControllerSession& s, uint32_t index, uint32_t wrongType) {
    if (!s.tapTypes || index >= s.tapCount) return kStatusInvalid;
    const int32_t type = TapTypeOf(s, index);
    return type == 0 || type == 1 ? kStatusOk : wrongType;
}

// A three-bit command on the TAP's link, after the base and the link's pause when `opening`,
// closed with `close`.
uint32_t ParallelModeCommand(ControllerSession& s, uint32_t tap, uint32_t command, bool opening,
                             uint32_t close) {
    if (!IsIdentifiedPod(s.podType)) return kStatusNotAvailable;
    if (tap < 1 || tap > kTapCount) return kStatusInvalid;
    LinkFrame frame(s, tap - 1);
    if (opening && (frame.WriteBase().failed() || frame.Pause(kLinkSettleMs).failed())) {
        return kStatusFailed;
    }
    if (frame.SendBits(command, 3).failed() || frame.Write(close).failed() ||
        frame.Finish().failed()) {
        return kStatusFailed;
    }
    return kStatusOk;
}

}  // namespace

uint32_t SetTapIoPins(ControllerSession& s, uint32_t tap, uint32_t data, uint32_t control) {
    AwaitPinSettles(s);
    const uint32_t index = tap - 1;
    if (const uint32_t status = CheckTapType(s, index, kStatusFailed); status != kStatusOk) {
        return status;
    }
    return WriteTapIoPins(s, index, data & kNibble, control & kNibble).failed() ? kStatusInvalid
                                                                                : kStatusOk;
}

uint32_t GetTapIoPins(ControllerSession& s, uint32_t tap, uint32_t* data, uint32_t* control) {
    AwaitPinSettles(s);
    const uint32_t index = tap - 1;
    if (const uint32_t status = CheckTapType(s, index, kStatusFailed); status != kStatusOk) {
        return status;
    }
    TapPins pins{};
    if (ReadTapIoPins(s, index, &pins).failed()) return kStatusInvalid;
    *data = pins.data;
    *control = pins.control;
    return kStatusOk;
}

uint32_t RWTapIoPins(ControllerSession& s, int32_t tap, uint32_t mask, uint32_t data,
                     uint32_t control, uint32_t* result) {
    if (tap < 1 || tap > static_cast<int32_t>(kTapCount)) return kStatusInvalid;
    AwaitPinSettles(s);
    const uint32_t index = static_cast<uint32_t>(tap - 1);
    if (const uint32_t status = CheckTapType(s, index, kStatusNotAvailable); status != kStatusOk) {
        return status;
    }
    // The word of the link: bits 2-5 the data pins (inverted on the link), bits 6-9 the control
    // pins. The mask covers both bits of each selected pin.
    const uint32_t m = mask & kNibble;
    const uint32_t maskWord = (m * 16 + m) * 4;
    const uint32_t dataWord = ((control & kNibble) * 16 + (~data & kNibble)) * 4;
    uint32_t readBack = 0;
    if (ExchangeTapIoPins(s, index, maskWord, dataWord, &readBack).failed()) return kStatusFailed;
    *result = (readBack >> 6) & mask & kNibble;
    return kStatusOk;
}

uint32_t SetIoPins(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tapMask,
                   uint32_t data, uint32_t control) {
    if (info.PodKind != 1) return kStatusNotAvailable;
    for (uint32_t i = 0; i < kTapCount; ++i) {
        if (((tapMask >> i) & 1) == 0 || info.TapState[i] != 0) continue;
        if (WriteTapIoPins(s, i, (data >> (4 * i)) & kNibble, (control >> (4 * i)) & kNibble)
                .failed()) {
            return kStatusInvalid;
        }
    }
    return kStatusOk;
}

uint32_t GetIoPins(ControllerSession& s, const ZPX_DeviceInfo& info, uint32_t tapMask,
                   uint32_t* data, uint32_t* control) {
    if (info.PodKind != 1) return kStatusNotAvailable;
    *data = 0;
    *control = 0;
    for (uint32_t i = 0; i < kTapCount; ++i) {
        if (((tapMask >> i) & 1) == 0 || info.TapState[i] != 0) continue;
        TapPins pins{};
        // The TAPs read before a failure stay in the outputs.
        if (ReadTapIoPins(s, i, &pins).failed()) return kStatusInvalid;
        *data |= pins.data << (4 * i);
        *control |= pins.control << (4 * i);
    }
    return kStatusOk;
}

uint32_t EnableTapParallelMode(ControllerSession& s, uint32_t tap) {
    constexpr uint32_t kParallelOn = 0b101;
    return ParallelModeCommand(s, tap, kParallelOn, true, kLinkActive);
}

uint32_t DisableTapParallelMode(ControllerSession& s, uint32_t tap) {
    // The command follows the TAP's parallel signals directly: no base write and no pause.
    constexpr uint32_t kParallelOff = 0b000;
    return ParallelModeCommand(s, tap, kParallelOff, false, s.register2Copy);
}

uint32_t WriteTapParallelMode(ControllerSession& s, uint32_t value, uint32_t* bit) {
    if (!IsIdentifiedPod(s.podType)) return kStatusNotAvailable;
    uint32_t answer = 0;
    if (device::WriteRegister(s, transport::kPodRegister, (value & kNibble) * 16 + kLinkActive)
            .failed() ||
        device::ReadRegister(s, transport::kPodRegister, &answer).failed()) {
        return kStatusFailed;
    }
    *bit = answer & 1;
    return kStatusOk;
}

}  // namespace zpx::target
