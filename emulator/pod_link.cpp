#include "pod_link.h"

#include <string_view>

namespace zpx::emu {

namespace {

// Leading bits of every frame the pod knows, in the order they arrive. No command is a prefix of
// another, so the first full match decides.
enum class Command {
    kRouteTransceiver,
    kRoutePod,
    kExtender,
    kParallelOn,
    kParallelOff,
    kAdcOutput,
    kAdcThreshold,
    kDacOutput,
    kDacThreshold,
    kExchangePins,
    kWritePins,
};

struct CommandBits {
    const char* bits;
    Command command;
};

constexpr CommandBits kCommands[] = {
    {"111", Command::kRouteTransceiver},
    {"011", Command::kRoutePod},
    {"110", Command::kExtender},
    {"101", Command::kParallelOn},
    {"000", Command::kParallelOff},
    {"10011011111", Command::kAdcOutput},
    {"10011001111", Command::kAdcThreshold},
    {"0011001", Command::kDacOutput},
    {"0011010", Command::kDacThreshold},
    {"01001", Command::kExchangePins},
    {"010000", Command::kWritePins},
};

constexpr unsigned kExchangeBits = 10;
constexpr unsigned kWritePinBits = 8;
constexpr unsigned kDacBits = 12;  // ten code bits, most significant first, then two zeros
constexpr unsigned kAdcBits = 8;

uint32_t OutputMillivolts(const TapState& t) {
    return t.outputSet ? 600u + 4u * t.outputCode : 0;
}

}  // namespace

const char* PodFrameName(PodFrame frame) {
    static constexpr const char* kNames[kPodFrameKinds] = {
        "none",         "exchange pins", "write pins",  "output voltage", "threshold voltage",
        "read voltage", "extender",      "parallel on", "parallel off",   "route transceiver ROM",
        "route pod ROM"};
    const auto index = static_cast<unsigned>(frame);
    return index < kPodFrameKinds ? kNames[index] : "?";
}

void PodModel::Configure(bool present, int kind, const std::array<TapConfig, 4>& taps) {
    present_ = present;
    kind_ = kind & 3;
    extenderOn_ = true;
    for (unsigned i = 0; i < 4; ++i) {
        taps_[i] = TapState{};
        taps_[i].present = taps[i].present;
        taps_[i].identity = taps[i].identity & 3;
        taps_[i].data = taps[i].data & 15;
        taps_[i].control = taps[i].control & 15;
    }
}

uint8_t PodModel::KindCode() const {
    if (!present_) return 3;
    if (HasExtender() && extenderOn_) return 1;
    return static_cast<uint8_t>(kind_);
}

uint8_t PodModel::AnsweredIdentity(const TapState& t) const {
    if (HasExtender() && extenderOn_ && t.identity == 1) return 0;
    return t.identity;
}

uint8_t PodModel::AdcByte(uint32_t millivolts) {
    // The converter rounds up: a reading is never below the voltage and at most one step above.
    const uint32_t reading = (millivolts * 255 + 4095) / 4096;
    return static_cast<uint8_t>(reading > 255 ? 255 : reading);
}

bool PodModel::AnyParallel() const {
    for (const TapState& t : taps_)
        if (t.parallel) return true;
    return false;
}

bool PodModel::OutputBit() const {
    if (inFrame_) return output_;
    // In parallel mode the target behind the TAP loops the lowest signal straight back.
    for (const TapState& t : taps_)
        if (t.parallel) return (t.parallelValue & 1) != 0;
    return true;
}

void PodModel::Write(uint8_t value) {
    const bool select = (value & 0x08) != 0;
    if (!select) {
        if (inFrame_) EndFrame();
        for (TapState& t : taps_)
            if (t.parallel) t.parallelValue = static_cast<uint8_t>(value >> 4);
        return;
    }
    const unsigned tap = value >> 6;
    const bool clock = (value & 0x20) != 0;
    // A new base (link select rising, or another TAP with the clock low) opens a new frame.
    if (!inFrame_ || (tap != tap_ && !clock)) {
        if (inFrame_) EndFrame();
        StartFrame(tap);
    }
    if (clock && !clock_) Edge((value & 0x10) != 0);
    clock_ = clock;
}

void PodModel::StartFrame(unsigned tap) {
    inFrame_ = true;
    clock_ = false;
    tap_ = tap;
    phase_ = Phase::kCommand;
    command_.clear();
    count_ = 0;
    shift_ = 0;
    output_ = true;
}

void PodModel::EndFrame() {
    // A frame that stopped before its last bit changes nothing; the bits taken so far are lost
    // as they are in the pod's shift register.
    const bool empty = phase_ == Phase::kCommand && command_.empty();
    if (phase_ != Phase::kDone && !empty) ++framesIgnored_;
    inFrame_ = false;
    phase_ = Phase::kDone;
    output_ = true;
}

void PodModel::Completed(PodFrame frame, uint32_t value) {
    ++framesDecoded_;
    lastFrame_ = frame;
    lastFrameValue_ = value;
    phase_ = Phase::kDone;
}

void PodModel::Edge(bool bit) {
    TapState& t = taps_[tap_];
    switch (phase_) {
        case Phase::kCommand:
            CommandBit(bit);
            return;
        case Phase::kExchange:
            // The pod presented bit `count_` before this edge; the edge replaces it.
            if (bit)
                shift_ |= 1u << count_;
            else
                shift_ &= ~(1u << count_);
            if (++count_ == kExchangeBits) {
                if (Responsive()) {
                    t.data = static_cast<uint8_t>(~(shift_ >> 2) & 15);
                    t.control = static_cast<uint8_t>((shift_ >> 6) & 15);
                }
                Completed(PodFrame::kExchangePins, shift_);
                output_ = true;
            } else {
                output_ = Responsive() ? ((shift_ >> count_) & 1) != 0 : true;
            }
            return;
        case Phase::kWritePins:
            if (bit) shift_ |= 1u << count_;
            if (++count_ == kWritePinBits) {
                if (Responsive()) {
                    t.data = static_cast<uint8_t>(~shift_ & 15);
                    t.control = static_cast<uint8_t>((shift_ >> 4) & 15);
                }
                Completed(PodFrame::kWritePins, shift_);
            }
            return;
        case Phase::kDacOutput:
        case Phase::kDacThreshold:
            shift_ = (shift_ << 1) | (bit ? 1u : 0u);
            if (++count_ == kDacBits) {
                const uint16_t code = static_cast<uint16_t>((shift_ >> 2) & 0x3FF);
                const bool output = phase_ == Phase::kDacOutput;
                if (Responsive()) {
                    if (output) {
                        t.outputCode = code;
                        t.outputSet = true;
                    } else {
                        t.thresholdCode = code;
                    }
                }
                Completed(output ? PodFrame::kOutputVoltage : PodFrame::kThresholdVoltage, code);
            }
            return;
        case Phase::kAdc:
            // The voltage read-back clocks first and presents the next bit after the edge.
            output_ = Responsive() ? ((adc_ >> (7 - count_)) & 1) != 0 : true;
            if (++count_ == kAdcBits) Completed(PodFrame::kReadVoltage, adc_);
            return;
        case Phase::kDone:
            return;
    }
}

void PodModel::CommandBit(bool bit) {
    command_.push_back(bit ? '1' : '0');
    bool prefix = false;
    for (const CommandBits& c : kCommands) {
        const std::string_view bits(c.bits);
        if (bits.substr(0, command_.size()) != command_) continue;
        if (bits.size() != command_.size()) {
            prefix = true;
            continue;
        }
        TapState& t = taps_[tap_];
        count_ = 0;
        shift_ = 0;
        switch (c.command) {
            case Command::kRouteTransceiver:
                route_ = RomRoute::kTransceiver;
                Completed(PodFrame::kRouteTransceiver, 0);
                return;
            case Command::kRoutePod:
                route_ = RomRoute::kPod;
                routedPod_ = static_cast<int>(tap_);
                Completed(PodFrame::kRoutePod, tap_);
                return;
            case Command::kExtender:
                if (present_ && powered_) {
                    ++extenderCommands_;
                    if (HasExtender()) extenderOn_ = !extenderOn_;
                }
                Completed(PodFrame::kExtender, tap_);
                return;
            case Command::kParallelOn:
                if (Responsive()) t.parallel = true;
                Completed(PodFrame::kParallelOn, tap_);
                return;
            case Command::kParallelOff:
                t.parallel = false;
                Completed(PodFrame::kParallelOff, tap_);
                return;
            case Command::kAdcOutput:
            case Command::kAdcThreshold:
                adc_ = AdcByte(c.command == Command::kAdcOutput ? OutputMillivolts(t)
                                                                : 4u * t.thresholdCode);
                phase_ = Phase::kAdc;
                return;
            case Command::kDacOutput:
                phase_ = Phase::kDacOutput;
                return;
            case Command::kDacThreshold:
                phase_ = Phase::kDacThreshold;
                return;
            case Command::kExchangePins:
                // The identity goes out first, high bit first, then the data pins as the link
                // carries them (inverted) and the control pins, pin 0 first in each group.
                shift_ = ((AnsweredIdentity(t) >> 1) & 1u) | ((AnsweredIdentity(t) & 1u) << 1) |
                         ((~t.data & 15u) << 2) | (static_cast<uint32_t>(t.control) << 6);
                phase_ = Phase::kExchange;
                output_ = Responsive() ? (shift_ & 1) != 0 : true;
                return;
            case Command::kWritePins:
                phase_ = Phase::kWritePins;
                return;
        }
    }
    if (!prefix) {
        ++framesIgnored_;
        phase_ = Phase::kDone;
        output_ = true;
    }
}

}  // namespace zpx::emu
