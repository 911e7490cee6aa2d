#include "target/pod_link.h"

#include <algorithm>

#include "device/controller_session.h"
#include "platform/platform.h"

namespace zpx::target {

using transport::kPodPowerRegister;
using transport::kPodRegister;

namespace {

// Header bits of the pin frames, sent first to last.
constexpr uint32_t kExchangeHeader = 0b01001;
constexpr unsigned kExchangeHeaderBits = 5;
constexpr uint32_t kWritePinsHeader = 0b010000;
constexpr unsigned kWritePinsHeaderBits = 6;
constexpr unsigned kPinWordBits = 10;

// The voltage frames: 19 bits of (code | command) × 4, bit 18 first.
constexpr uint32_t kOutputCommand = 0x6400;
constexpr uint32_t kThresholdCommand = 0x6800;
constexpr unsigned kDacFrameBits = 19;
constexpr int32_t kOutputOffsetMv = 600;
constexpr int32_t kDacStepMv = 4;
constexpr int32_t kLowestOutputCode = 100;
constexpr int32_t kHighestOutputCode = 750;
constexpr int32_t kHighestThresholdMv = 4094;

// The voltage read-back: an 11-bit command, then eight bits of the pod's ADC.
constexpr uint32_t kReadOutputCommand = 0x4DF;
constexpr uint32_t kReadThresholdCommand = 0x4CF;
constexpr unsigned kReadCommandBits = 11;
constexpr unsigned kAdcBits = 8;
constexpr int32_t kAdcFullScaleMv = 4096;
constexpr int32_t kAdcFullScale = 255;

// The extender command always goes to TAP index 3 and is the same for every mode.
constexpr uint32_t kExtenderTap = 3;
constexpr uint32_t kExtenderCommand = 0b110;
constexpr unsigned kExtenderCommandBits = 3;

Result Sleep(uint32_t ms) {
    platform::Use<platform::Clock>().SleepMs(ms);
    return kOk;
}

Result SendDacFrame(ControllerSession& s, uint32_t tap, uint32_t command, int32_t code) {
    LinkFrame frame(s, tap);
    // A negative threshold code goes out as its two's-complement bits, as the pod takes them.
    const uint32_t bits = (static_cast<uint32_t>(code) | command) * 4;
    if (frame.WriteBase().failed() || frame.SendBits(bits, kDacFrameBits).failed() ||
        frame.Write(s.register2Copy).failed()) {
        return kFail;
    }
    return frame.Finish();
}

// One ADC reading: the command, then eight clocks, each followed by a sample.
Result ReadAdc(LinkFrame& frame, uint32_t command, uint32_t* byte) {
    if (frame.SendBits(command, kReadCommandBits).failed()) return kFail;
    uint32_t value = 0;
    for (unsigned i = 0; i < kAdcBits; ++i) {
        bool bit = false;
        if (frame.Clock().failed() || frame.Sample(&bit).failed()) return kFail;
        value = (value << 1) | (bit ? 1u : 0u);
    }
    *byte = value;
    return kOk;
}

int32_t AdcMillivolts(uint32_t byte) {
    return static_cast<int32_t>(byte) * kAdcFullScaleMv / kAdcFullScale;
}

}  // namespace

LinkFrame::LinkFrame(ControllerSession& s, uint32_t tap)
    : s_(s), base_(LinkBase(tap)), value_(base_), held_(s) {}

Result LinkFrame::WriteBase() {
    value_ = base_;
    return device::WriteRegister(s_, kPodRegister, value_);
}

Result LinkFrame::Pause(uint32_t ms) {
    if (held_.Flush().failed()) return kFail;
    return Sleep(ms);
}

Result LinkFrame::Send(bool bit) {
    value_ = bit ? (value_ | kLinkData) : (value_ & ~kLinkData);
    return Clock();
}

Result LinkFrame::SendBits(uint32_t value, unsigned count) {
    for (unsigned i = count; i-- > 0;) {
        if (Send(((value >> i) & 1) != 0).failed()) return kFail;
    }
    return kOk;
}

Result LinkFrame::Clock() {
    value_ &= ~kLinkClock;
    if (device::WriteRegister(s_, kPodRegister, value_).failed()) return kFail;
    value_ |= kLinkClock;
    return device::WriteRegister(s_, kPodRegister, value_);
}

Result LinkFrame::Sample(bool* bit) {
    uint32_t value = 0;
    if (device::ReadRegister(s_, kPodRegister, &value).failed()) return kFail;
    *bit = (value & 1) != 0;
    return kOk;
}

Result LinkFrame::Write(uint32_t value) {
    return device::WriteRegister(s_, kPodRegister, value);
}

Result LinkFrame::Finish() {
    return held_.Finish();
}

Result ExchangeTapIoPins(ControllerSession& s, uint32_t tap, uint32_t mask, uint32_t data,
                         uint32_t* readBack) {
    if (tap >= kTapCount) return kFail;
    LinkFrame frame(s, tap);
    if (frame.WriteBase().failed() || frame.Pause(kLinkSettleMs).failed() ||
        frame.SendBits(kExchangeHeader, kExchangeHeaderBits).failed()) {
        return kFail;
    }
    // The pod presents bit k before the k-th clock; driving the same bit back keeps it.
    uint32_t word = 0;
    for (unsigned k = 0; k < kPinWordBits; ++k) {
        bool bit = false;
        if (frame.Sample(&bit).failed()) return kFail;
        word |= (bit ? 1u : 0u) << k;
        const bool drive = ((mask >> k) & 1) != 0 ? ((data >> k) & 1) != 0 : bit;
        if (frame.Send(drive).failed()) return kFail;
    }
    if (frame.Write(s.register2Copy).failed() || frame.Finish().failed()) return kFail;
    *readBack = word;
    return kOk;
}

Result ReadTapIoPins(ControllerSession& s, uint32_t tap, TapPins* pins) {
    uint32_t word = 0;
    if (ExchangeTapIoPins(s, tap, 0, 0, &word).failed()) return kFail;
    pins->identity = 2 * (word & 1) + ((word >> 1) & 1);
    pins->data = ~(word >> 2) & 0xF;
    pins->control = (word >> 6) & 0xF;
    return kOk;
}

Result WriteTapIoPins(ControllerSession& s, uint32_t tap, uint32_t data, uint32_t control) {
    if (tap >= kTapCount) return kFail;
    LinkFrame frame(s, tap);
    if (frame.WriteBase().failed() || frame.Pause(kLinkSettleMs).failed() ||
        frame.SendBits(kWritePinsHeader, kWritePinsHeaderBits).failed()) {
        return kFail;
    }
    // Pin 0 first in each group; the data pins travel inverted.
    for (unsigned i = 0; i < 4; ++i) {
        if (frame.Send(((data >> i) & 1) == 0).failed()) return kFail;
    }
    for (unsigned i = 0; i < 4; ++i) {
        if (frame.Send(((control >> i) & 1) != 0).failed()) return kFail;
    }
    if (frame.Write(s.register2Copy).failed()) return kFail;
    return frame.Finish();
}

Result WriteTapVoltages(ControllerSession& s, uint32_t tap, int32_t outputMv, int32_t thresholdMv) {
    if (tap >= kTapCount) return kFail;
    // An output code below the lowest (below 1000 mV) is refused before the controller is
    // touched; the check comes first so that no subtraction can overflow.
    if (outputMv < kOutputOffsetMv + kLowestOutputCode * kDacStepMv) return kFail;
    const int32_t outputCode = (outputMv - kOutputOffsetMv) / kDacStepMv;
    const int32_t thresholdCode = std::min(thresholdMv, kHighestThresholdMv) / kDacStepMv;
    if (SendDacFrame(s, tap, kOutputCommand, std::min(outputCode, kHighestOutputCode)).failed()) {
        return kFail;
    }
    return SendDacFrame(s, tap, kThresholdCommand, thresholdCode);
}

Result ReadTapVoltages(ControllerSession& s, uint32_t tap, int32_t* firstMv, int32_t* secondMv) {
    if (tap >= kTapCount) return kFail;
    LinkFrame frame(s, tap);
    uint32_t a = 0;
    uint32_t b = 0;
    if (frame.WriteBase().failed() || ReadAdc(frame, kReadOutputCommand, &a).failed() ||
        frame.Write(0).failed() || frame.WriteBase().failed() ||
        ReadAdc(frame, kReadThresholdCommand, &b).failed() ||
        frame.Write(s.register2Copy).failed() || frame.Finish().failed()) {
        return kFail;
    }
    *firstMv = AdcMillivolts(a);
    *secondMv = AdcMillivolts(b);
    return kOk;
}

Result SetExtenderMode(ControllerSession& s, int32_t mode) {
    if (s.extenderMode == mode) return kOk;
    if (mode == -1) mode = 1;
    // What register 2 returns to afterwards: as it reads now, with the pod-active state of the
    // power register in bit 0. A read that fails counts as the copy and as 0.
    uint32_t podRegister = s.register2Copy;
    uint32_t power = 0;
    if (device::ReadRegister(s, kPodRegister, &podRegister).failed()) {
        podRegister = s.register2Copy;
    }
    if (device::ReadRegister(s, kPodPowerRegister, &power).failed()) power = 0;
    const uint32_t restore = podRegister | ((power & kPowerPodActive) != 0 ? kLinkActive : 0);

    LinkFrame frame(s, kExtenderTap);
    if (frame.WriteBase().failed() || frame.Pause(kLinkSettleMs).failed() ||
        frame.SendBits(kExtenderCommand, kExtenderCommandBits).failed() ||
        frame.Write(LinkBase(0)).failed() || frame.Write(restore).failed() ||
        frame.Finish().failed()) {
        return kFail;
    }
    s.extenderMode = mode;
    return kOk;
}

}  // namespace zpx::target
